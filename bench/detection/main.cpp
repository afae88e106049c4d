// Detection quality of models trained as the service trains them: normal WAF
// request messages become request records, are staged and moved into the
// host's dataset file, and the host's models are built against the attack
// list served as the dataset service's attack dataset; the evaluation
// messages then go through the whole classification of a request.
//
//   bench_detection --train NORMAL.jsonl --attacks ATTACKS.jsonl --eval EVAL.jsonl
//                   [--labels LABELS.jsonl] [--verdicts OUT.jsonl] [--jobs N] [--no-reference]
//
// NORMAL and EVAL hold WAF request messages (the replayer's format), ATTACKS
// lines {"zone", "value", ...}, LABELS lines {"request_id", "attack"}; OUT
// gets one {"request_id", "attack", "zones"} a line. Without arguments: the
// CSIC normal requests (through tools/replay/csic_to_waf.py) and the shared
// attack list, one in five of each held aside for the evaluation, the
// held-aside attack values placed into copies of held-aside normal requests
// in the zone the list names. With one protected host, the same models are
// fitted and the same requests classified by the scikit-learn 1.2.1 recipe
// (bench/classify/reference.py) for the agreement and the speed ratio.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <ctime>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/data/columns.h"
#include "core/data/hosts.h"
#include "core/data/request_data.h"
#include "ingestor/ingestor.h"
#include "orvik/classify/processing.h"
#include "orvik/dataset/db_processing.h"
#include "orvik/dataset/staging.h"
#include "orvik/training/build.h"
#include "orvik/training/models.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/json.h"
#include "support/http_server.h"
#include "support/reference_data.h"
#include "support/temp_dir.h"

using namespace tessel;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--train NORMAL.jsonl --attacks ATTACKS.jsonl --eval EVAL.jsonl]\n"
               "          [--labels LABELS.jsonl] [--verdicts OUT.jsonl] [--jobs N] [--no-reference]\n",
               argv0);
  std::exit(2);
}

std::vector<Json> read_jsonl(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Json> out;
  for (std::string line; std::getline(in, line);)
    if (line.find_first_not_of(" \t\r") != std::string::npos) out.push_back(Json::parse(line));
  return out;
}

std::string quote(const std::string& s, const std::string& safe) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '_' || c == '.' || c == '-' || c == '~' || safe.find(static_cast<char>(c)) != std::string::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The message with the attack value placed in its zone, as the replayer's
// converter places one.
Json with_attack(Json msg, const std::string& zone, const std::string& value) {
  auto get = [&](const std::string& z) { return base64_decode(msg.value(z, std::string())); };
  std::string text = get(zone);
  if (zone == "args" || zone == "body") {
    const std::string item = "q=" + quote(value, "");
    text = text.empty() ? item : text + "&" + item;
  } else if (zone == "cookie") {
    text = (text.empty() ? "" : text + "; ") + "c=" + value;
  } else if (zone == "other_headers") {
    text += "\r\nX-Data: " + value;
  } else if (zone == "url") {
    while (!text.empty() && text.back() == '/') text.pop_back();
    text += "/" + quote(value, "/");
  } else {
    text = value;
  }
  msg[zone] = base64_encode(text);
  return msg;
}

struct Inputs {
  std::vector<Json> normal, eval;
  std::vector<std::string> attacks;
  std::map<std::string, bool> labels;  // request id -> attack
};

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

bool run_shell(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

Inputs default_inputs() {
  const std::string dir = testing::reference_data_dir();
  if (dir.empty()) throw std::runtime_error("reference data not found: set TESSEL_DATA_DIR or pass the files");
  const std::string made = std::string(TESSEL_BINARY_DIR) + "/bench/detection/csic.jsonl";
  if (!std::filesystem::exists(made) &&
      !run_shell("/usr/bin/python3 " + std::string(TESSEL_SOURCE_DIR) + "/tools/replay/csic_to_waf.py " + dir +
                 "/csic2010/normalTrafficTraining.txt.gz -o " + made))
    throw std::runtime_error("csic_to_waf.py failed");
  Inputs in;
  const auto msgs = read_jsonl(made);
  std::vector<Json> held;
  for (std::size_t i = 0; i < msgs.size(); ++i) (i % 5 == 0 ? held : in.normal).push_back(msgs[i]);
  for (const auto& m : held) {
    in.labels[m["request_id"].get<std::string>()] = false;
    in.eval.push_back(m);
  }
  const auto list = read_jsonl(dir + "/attack-payloads.jsonl");
  std::size_t k = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string value = list[i].value("value", std::string());
    if (i % 5 != 0) {
      in.attacks.push_back(value);
      continue;
    }
    Json m = with_attack(held[(k * 7919) % held.size()], list[i].value("zone", std::string("args")), value);
    const std::string id = "a" + std::to_string(k++);
    m["request_id"] = id;
    in.labels[id] = true;
    in.eval.push_back(std::move(m));
  }
  std::printf("default run: %zu normal messages to train on, %zu attack values; evaluation %zu messages "
              "(%zu normal, %zu with an attack value)\n",
              in.normal.size(), in.attacks.size(), in.eval.size(), held.size(), k);
  return in;
}

RequestTable records(std::vector<Json> msgs, const LogSink& sink) {
  const core::B64Whitelist b64wl;
  RequestTable t;
  t.reserve(msgs.size());
  for (auto& m : msgs)
    if (auto r = ingestor::request_record_from_message(std::move(m), b64wl, sink)) t.push_back(std::move(*r));
  return t;
}

std::string vhost_of(const RequestRecord& r) {
  return r.vhost.is_string() ? r.vhost.get<std::string>() : r.vhost.dump();
}

std::string field(const RequestRecord& r, const std::string& z) {
  if (z == "url") return r.url;
  if (z == "args") return r.args;
  if (z == "cookie") return r.cookie;
  if (z == "ua") return r.ua;
  if (z == "referer") return r.referer;
  if (z == "other_headers") return r.other_headers;
  return r.body;
}

// The samples the model build fits a zone on: the attack values (1), then
// the zone's dataset values (0), split into lines in key-value zones.
Json build_samples(const orvik::DatasetData& data, const std::vector<std::string>& attacks,
                   const std::vector<std::string>& zones) {
  Json train = Json::object();
  const auto& kv = core::kv_zone();
  for (const auto& z : zones) {
    std::vector<std::string> docs = attacks;
    std::vector<std::int64_t> y(attacks.size(), 1);
    const auto it = data.find(z);
    const bool split = std::find(kv.begin(), kv.end(), z) != kv.end();
    if (it != data.end())
      for (const auto& s : it->second) {
        if (!split) {
          if (!s.empty()) docs.push_back(s), y.push_back(0);
          continue;
        }
        for (std::size_t pos = 0;;) {
          const std::size_t end = s.find("\r\n", pos);
          const std::size_t stop = end == std::string::npos ? s.size() : end;
          if (stop > pos) docs.emplace_back(s, pos, stop - pos), y.push_back(0);
          if (end == std::string::npos) break;
          pos = end + 2;
        }
      }
    train[z] = {{"docs", docs}, {"y", y}};
  }
  return train;
}

// Runs the scikit-learn side; its JSON reply.
Json reference_run(const Json& input, int jobs) {
  const std::string path = std::string(TESSEL_BINARY_DIR) + "/bench/detection/reference_input.json";
  std::ofstream(path, std::ios::binary) << input.dump();
  const std::string cmd = "/usr/bin/python3 '" + std::string(TESSEL_SOURCE_DIR) + "/bench/classify/reference.py' '" +
                          path + "' " + std::to_string(jobs) + " 200";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  std::string text;
  char buf[4096];
  for (std::size_t n; p && (n = fread(buf, 1, sizeof buf, p.get())) > 0;) text.append(buf, n);
  std::remove(path.c_str());
  if (text.empty()) throw std::runtime_error("the scikit-learn side failed (python3-sklearn installed?)");
  return Json::parse(text);
}

}  // namespace

int main(int argc, char** argv) {
  std::string train_path, attacks_path, eval_path, labels_path, verdicts_path;
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  bool reference = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a != "--no-reference" && i + 1 >= argc) usage(argv[0]);
    if (a == "--train") train_path = argv[++i];
    else if (a == "--attacks") attacks_path = argv[++i];
    else if (a == "--eval") eval_path = argv[++i];
    else if (a == "--labels") labels_path = argv[++i];
    else if (a == "--verdicts") verdicts_path = argv[++i];
    else if (a == "--jobs") jobs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--no-reference") reference = false;
    else usage(argv[0]);
  }
  const bool given = !train_path.empty() || !attacks_path.empty() || !eval_path.empty();
  if (given && (train_path.empty() || attacks_path.empty() || eval_path.empty())) usage(argv[0]);

  try {
    Inputs in;
    if (given) {
      in.normal = read_jsonl(train_path);
      in.eval = read_jsonl(eval_path);
      for (const auto& a : read_jsonl(attacks_path)) in.attacks.push_back(a.value("value", std::string()));
      if (!labels_path.empty())
        for (const auto& l : read_jsonl(labels_path))
          in.labels[l.at("request_id").get<std::string>()] = l.value("attack", false);
    } else {
      in = default_inputs();
    }

    orvik::ClassifyContext cc;
    cc.ctx.sink = LogSink{cc.ctx.queues.q_ec, std::make_shared<Logger>("bench"), false};
    const LogSink& sink = cc.ctx.sink;

    // The dataset service: the attack list, an empty white list.
    testing::LoopbackHttpServer ds;
    ds.route("GET", "/ml/dataset/get_bl_uri", testing::CannedResponse{200, Json{{"attacks", in.attacks}}.dump()});
    ds.route("GET", "/ml/dataset/get_wl_uri", testing::CannedResponse{200, base64_encode("{}")});
    const core::DatasetUrls urls{ds.url("/ml/dataset/get_bl_uri"), ds.url("/ml/dataset/get_wl_uri")};

    // Training: per host, staged, moved into the dataset file, built.
    testing::TempDir dir;
    const auto t_train = Clock::now();
    std::map<std::string, RequestTable> by_host;
    for (auto& r : records(std::move(in.normal), sink)) by_host[vhost_of(r)].push_back(std::move(r));
    std::map<std::string, orvik::ClassifyModels> models;
    Json ref_train;
    LockMap locks;
    constexpr std::int64_t kDatasetLimit = 800000;
    for (auto& [vhost, table] : by_host) {
      const std::string v = core::vhost_normalization(vhost);
      locks.emplace(vhost, std::make_shared<ProcessLock>());
      const std::string db = dir.file(v + ".db"), d = dir.file(v + ".d");
      orvik::put_data_into_db(table, locks, vhost, db, sink);
      orvik::DbProcessingArgs update;
      update.db_processing_lock = locks;
      update.ml_vhost = vhost;
      update.dataset_limit = kDatasetLimit;
      update.db_fname = db;
      update.d_fname = d;
      update.training_pcnt = 100;
      update.sink = sink;
      if (!orvik::db_processing(update)) throw std::runtime_error("dataset update failed for " + vhost);
      orvik::BuildOptions opts;
      opts.retry_pause = std::chrono::milliseconds(10);
      orvik::DatasetData data = orvik::dataset_load(d);
      if (reference && by_host.size() == 1) ref_train = build_samples(data, in.attacks, core::zones());
      if (!orvik::tessel_models_build(dir.str(), kDatasetLimit, vhost, v, std::move(data), "", "", urls,
                                      core::ApiContext{}, dir.file("mt.json"), sink, opts))
        throw std::runtime_error("no models built for " + vhost);
      models[vhost] = orvik::ClassifyModels{orvik::tessel_models_load(dir.str(), v, sink),
                                            std::make_shared<orvik::PredictionCache>()};
      std::printf("host %s: %zu requests trained on, models of %zu zone(s)\n", vhost.c_str(), table.size(),
                  models[vhost].models.rf ? models[vhost].models.rf->size() : 0);
    }
    cc.ctx.queues.q_ec->drain();
    const double train_s = std::chrono::duration<double>(Clock::now() - t_train).count();

    // Classification: tables of 256 requests of one host on `jobs` threads.
    std::vector<std::string> eval_ids;
    for (const auto& m : in.eval) eval_ids.push_back(m.value("request_id", std::string()));
    const std::size_t n_eval = in.eval.size();
    std::map<std::string, RequestTable> eval_by_host;
    for (auto& r : records(std::move(in.eval), sink)) eval_by_host[vhost_of(r)].push_back(std::move(r));
    std::vector<std::pair<std::string, RequestTable>> tables;
    for (auto& [vhost, t] : eval_by_host)
      for (std::size_t i = 0; i < t.size(); i += 256)
        tables.emplace_back(vhost, RequestTable(t.begin() + i, t.begin() + std::min(t.size(), i + 256)));
    Json ref_input;
    if (!ref_train.is_null() && eval_by_host.size() == 1 && models.count(eval_by_host.begin()->first)) {
      // Zones without a model are left out on both sides.
      std::vector<std::string> zones;
      for (const auto& z : core::zones())
        if (models.begin()->second.models.rf->contains(z)) zones.push_back(z);
      Json train = Json::object(), rows = Json::array();
      for (const auto& z : zones) train[z] = std::move(ref_train[z]);
      for (const auto& r : eval_by_host.begin()->second) {
        Json row = Json::object();
        row["request_id"] = r.request_id;
        for (const auto& z : zones) row[z] = field(r, z);
        rows.push_back(std::move(row));
      }
      ref_input = Json{{"train", train}, {"requests", rows}, {"zones", zones}, {"kv_zone", core::kv_zone()},
                       {"max_body_chunk_ai", core::max_body_chunk_ai}};
    }
    const orvik::ClassifyModels none;
    // Warm-up as on the scikit-learn side (one table per worker, untimed):
    // each thread classifies a table with its own context and a prediction
    // cache of its own, which are then dropped, so the timed run starts with
    // warm threads and an empty cache.
    orvik::ClassifyContext warm_cc;
    warm_cc.ctx.sink = LogSink{warm_cc.ctx.queues.q_ec, std::make_shared<Logger>("bench"), false};
    std::atomic<std::size_t> next{0};
    std::barrier start(jobs + 1), done(jobs + 1);
    std::vector<double> cpu_s(static_cast<std::size_t>(jobs));
    std::vector<std::thread> threads;
    for (int j = 0; j < jobs; ++j)
      threads.emplace_back([&, j] {
        if (!tables.empty()) {
          const auto& [vhost, table] = tables[static_cast<std::size_t>(j) % tables.size()];
          const auto it = models.find(vhost);
          orvik::ClassifyModels warm = it == models.end() ? none : it->second;
          if (warm.cache) warm.cache = std::make_shared<orvik::PredictionCache>();
          orvik::ml_processing(nullptr, table, {}, vhost, warm, true, std::nullopt, warm_cc);
        }
        start.arrive_and_wait();
        const double cpu0 = thread_cpu_seconds();
        for (std::size_t k; (k = next.fetch_add(1)) < tables.size();) {
          const auto it = models.find(tables[k].first);
          orvik::ml_processing(nullptr, std::move(tables[k].second), {}, tables[k].first,
                               it == models.end() ? none : it->second, true, std::nullopt, cc);
        }
        cpu_s[static_cast<std::size_t>(j)] = thread_cpu_seconds() - cpu0;
        done.arrive_and_wait();
      });
    start.arrive_and_wait();
    const auto t0 = Clock::now();
    done.arrive_and_wait();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    for (auto& t : threads) t.join();
    const double rps = static_cast<double>(n_eval) / secs;

    std::map<std::string, std::vector<std::string>> flagged;
    for (auto& t : cc.ctx.queues.q_mt_api->drain())
      for (const auto& r : t) {
        std::stringstream ss(r.mz.get<std::string>());
        auto& zs = flagged[r.request_id.get<std::string>()];
        for (std::string z; std::getline(ss, z, '|');)
          if (!z.empty()) zs.push_back(z);
      }
    cc.ctx.queues.q_attack_api->drain();
    cc.ctx.queues.q_ec->drain();

    if (!verdicts_path.empty()) {
      std::ofstream out(verdicts_path, std::ios::binary);
      for (const auto& id : eval_ids) {
        const auto it = flagged.find(id);
        out << Json{{"request_id", id},
                    {"attack", it != flagged.end()},
                    {"zones", it == flagged.end() ? std::vector<std::string>() : it->second}}
                   .dump()
            << '\n';
      }
      if (!out) throw std::runtime_error("cannot write " + verdicts_path);
    }

    double cpu_total = 0;
    for (double c : cpu_s) cpu_total += c;
    std::printf("training %.1f s; classification of %zu requests on %d threads: %.0f requests/s (%.1f us CPU a "
                "request), %zu flagged\n",
                train_s, n_eval, jobs, rps, n_eval ? 1e6 * cpu_total / static_cast<double>(n_eval) : 0.0,
                flagged.size());
    if (!in.labels.empty()) {
      std::size_t tp = 0, fp = 0, fn = 0, tn = 0;
      for (const auto& id : eval_ids) {
        const auto l = in.labels.find(id);
        if (l == in.labels.end()) continue;
        const bool f = flagged.count(id) != 0;
        (l->second ? (f ? tp : fn) : (f ? fp : tn))++;
      }
      const auto ratio = [](std::size_t a, std::size_t b) { return b ? static_cast<double>(a) / static_cast<double>(b) : 0.0; };
      const double p = ratio(tp, tp + fp), r = ratio(tp, tp + fn), fpr = ratio(fp, fp + tn);
      const double f1 = p + r > 0 ? 2 * p * r / (p + r) : 0.0;
      std::printf("request level: TP %zu, FP %zu, FN %zu, TN %zu\n", tp, fp, fn, tn);
      std::printf("  precision %.4f  recall %.4f  F1 %.4f  false-positive rate %.4f\n", p, r, f1, fpr);
    }
    if (ref_input.is_null()) {
      std::printf("scikit-learn side: not run (%s)\n", reference ? "more than one protected host" : "--no-reference");
      return 0;
    }
    const Json ref = reference_run(ref_input, jobs);
    const double ref_rps = ref["batch_rps"];
    const Json& rv = ref["verdicts"];
    const Json& rows = ref_input["requests"];
    std::size_t same = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      std::set<std::string> want, got;
      for (const auto& z : rv[i]) want.insert(z.get<std::string>() == "url" ? "uri" : z.get<std::string>());
      if (const auto it = flagged.find(rows[i]["request_id"].get<std::string>()); it != flagged.end())
        got.insert(it->second.begin(), it->second.end());
      same += (want.empty() == got.empty());
    }
    const double agree = rows.empty() ? 0.0 : 100.0 * static_cast<double>(same) / static_cast<double>(rows.size());
    const double ratio = ref_rps > 0 ? rps / ref_rps : 0.0;
    std::printf("scikit-learn 1.2.1 recipe on %d processes: %.1f requests/s; request verdicts agreeing: %zu of %zu\n",
                jobs, ref_rps, same, rows.size());
    std::printf("target: detection_verdicts_agree = %.2f%% (goal 99.9%%): %s\n", agree, agree >= 99.9 ? "met" : "missed");
    std::printf("target: detection_speed_ratio = %.1f (goal 20): %s\n", ratio, ratio >= 20 ? "met" : "missed");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_detection: %s\n", e.what());
    return 1;
  }
  return 0;
}
