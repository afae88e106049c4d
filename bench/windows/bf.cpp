// The brute-force and flood half of bench_windows: the window analysis
// (bf_detection) beside pandas_bf_ref.py on the same rows (its vectorised
// analysis and its per-address loop), findings compared address by address,
// and the sustained intake of the host (intake, cut and its one worker) on a
// virtual clock, with an hour of backlog at once.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common.h"
#include "passgate/bf_analysis.h"
#include "passgate/bfm.h"
#include "shared/runtime/clock.h"
#include "shared/runtime/request.h"

using namespace tessel;
using namespace tessel::passgate;

namespace bench_windows {

namespace {

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
};

class RowMaker {
 public:
  RequestRecord make(std::int64_t ts, const std::string& vhost, const std::string& url, const std::string& ip,
                     int flood_detect, const std::string& zone_detect, const std::string& args,
                     const std::string& body) {
    RequestRecord r;
    char id[33];
    std::snprintf(id, sizeof id, "%032llx", static_cast<unsigned long long>(++seq_));
    r.id = id;
    r.timestamp = ts;
    r.request_id = "r" + std::to_string(seq_);
    r.ip = ip;
    r.vhost = vhost;
    r.method = "POST";
    r.url = url;
    r.args = args;
    r.body = body;
    r.mz = "BODY";
    r.extras["flood_detect"] = flood_detect;
    r.extras["zone_detect"] = zone_detect;
    return r;
  }

 private:
  std::uint64_t seq_ = 0;
};

std::string ip_of(std::uint64_t n) {
  return "10." + std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
}

// Ordinary users: a few requests each over several hosts and targets.
void benign(RequestTable& t, RowMaker& m, Rng& rng, std::size_t n, std::int64_t t0, std::int64_t span) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t user = rng.below(n / 2 + 1);
    const std::string vhost = "shop" + std::to_string(user % 4) + ".example";
    const std::string url = "/p/" + std::to_string(rng.below(20));
    t.push_back(m.make(t0 + static_cast<std::int64_t>(rng.below(span)), vhost, url, ip_of(user), 0, "args,body",
                       "q=" + std::to_string(rng.below(1000)), "user=u" + std::to_string(user)));
  }
}

// Password guessing against one log-in target from `attackers` addresses.
void login_attack(RequestTable& t, RowMaker& m, Rng& rng, int attackers, int guesses, std::int64_t t0,
                  std::int64_t span) {
  for (int a = 0; a < attackers; ++a)
    for (int g = 0; g < guesses; ++g)
      t.push_back(m.make(t0 + static_cast<std::int64_t>(rng.below(span)), "shop0.example", "/login",
                         ip_of(0x900000 + a), 0, "body", "",
                         "user=admin&password=p" + std::to_string(a) + "_" + std::to_string(g)));
}

// The same search request over and over, marked for flood detection.
void flood(RequestTable& t, RowMaker& m, Rng& rng, int sources, int each, std::int64_t t0, std::int64_t span) {
  for (int a = 0; a < sources; ++a)
    for (int g = 0; g < each; ++g)
      t.push_back(m.make(t0 + static_cast<std::int64_t>(rng.below(span)), "shop1.example", "/api/search",
                         ip_of(0xa00000 + a), 1, "args", "q=cheap", ""));
}

// host, target, kind, zone, address, confirmed
using Finding = std::tuple<std::string, std::string, std::string, std::string, std::string, bool>;

struct Counting {
  std::size_t confirmed = 0, possible = 0, report_rows = 0;
  std::set<Finding> findings;  // from the report rows
  bool operator==(const Counting&) const = default;
};

BfWorkerEnv bench_env() {
  BfWorkerEnv env;
  env.ctx.sink = LogSink{std::make_shared<EventQueue>(), std::make_shared<Logger>("bench"), false};
  env.ctx.queues.q_ec = env.ctx.sink.q_ec;
  env.ctx.endpoints.set_attack_url = "http://127.0.0.1/vx-api/attack";
  env.services.get_geoip = [](const Json& addrs) {
    Json out = Json::object();
    for (const auto& a : addrs) out[a.get<std::string>()] = Json{{"cc", ""}};
    return out;
  };
  env.services.publish = [](const Json&, int) {};
  env.services.now = [] { return std::int64_t{0}; };
  return env;
}

Counting drain(const BfWorkerEnv& env) {
  Counting c;
  for (auto& ev : env.ctx.sink.q_ec->drain()) {
    const std::string msg = ev.value("message", "");
    if (msg.rfind("The ", 0) == 0) ++c.confirmed;
    if (msg.rfind("Possible ", 0) == 0) ++c.possible;
  }
  for (auto& r : env.ctx.queues.q_attack_bd->drain()) {
    c.report_rows += r.table.size();
    for (const RequestRecord& row : r.table)
      c.findings.emplace(row.vhost.is_string() ? row.vhost.get<std::string>() : row.vhost.dump(), row.url,
                         row.extras.value("description", ""), row.mz.is_string() ? row.mz.get<std::string>() : "",
                         row.ip.is_string() ? row.ip.get<std::string>() : row.ip.dump(),
                         !row.extras.value("possible", true));
  }
  env.ctx.queues.q_aad->drain();
  return c;
}

void write_lines(const RequestTable& t, const std::string& path) {
  std::ofstream out(path);
  for (const auto& r : t) {
    Json row = record_to_json(r);
    row.erase("orig_zone_data");
    out << row.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  }
}

constexpr std::int64_t kMaxVal = 10;

// CPU milliseconds of one window's analysis and what it found.
double time_window(const RequestTable& t, Counting& found) {
  const BfWorkerEnv env = bench_env();
  BfSettings s;
  s.max_val = kMaxVal;
  s.send_possible = true;
  std::vector<const RequestRecord*> rows;
  for (const auto& r : t) rows.push_back(&r);
  bf_detection(rows, s, env);
  found = drain(env);
  int reps = 0;
  double spent = 0;
  while (reps < 5 || spent < 1.0) {
    const double t0 = thread_cpu_seconds();
    bf_detection(rows, s, env);
    spent += thread_cpu_seconds() - t0;
    ++reps;
    drain(env);
  }
  return spent / reps * 1000.0;
}

struct Pandas {
  double ms = -1, loop_ms = -1;
  Counting found;
  Counting loop_found;  // counts only
};

std::vector<Pandas> run_pandas(const std::vector<std::string>& files) {
  std::string cmd = "/usr/bin/python3 " + std::string(TESSEL_SOURCE_DIR) + "/bench/windows/pandas_bf_ref.py " +
                    std::to_string(kMaxVal);
  for (const auto& f : files) cmd += " '" + f + "'";
  std::vector<Pandas> out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  // One JSON line per scenario, of any length.
  std::string text;
  char buf[65536];
  while (std::fgets(buf, sizeof buf, p) != nullptr) text += buf;
  ::pclose(p);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    try {
      Json j = Json::parse(line);
      Pandas r;
      r.ms = j["ms_per_window"].get<double>();
      r.found.confirmed = j["confirmed"].get<std::size_t>();
      r.found.possible = j["possible"].get<std::size_t>();
      r.found.report_rows = j["report_rows"].get<std::size_t>();
      for (const auto& f : j["findings"])
        r.found.findings.emplace(f[0].get<std::string>(), f[1].get<std::string>(), f[2].get<std::string>(),
                                 f[3].get<std::string>(), f[4].get<std::string>(), f[5].get<bool>());
      r.loop_ms = j["loop_ms_per_window"].get<double>();
      r.loop_found.confirmed = j["loop"]["confirmed"].get<std::size_t>();
      r.loop_found.possible = j["loop"]["possible"].get<std::size_t>();
      r.loop_found.report_rows = j["loop"]["report_rows"].get<std::size_t>();
      out.push_back(r);
    } catch (const std::exception&) {
    }
  }
  return out;
}

// The host fed one batch per 5-second pass on a virtual clock, or an hour
// of backlog in one call; CPU of the host and its worker.
struct IntakeResult {
  std::size_t rows = 0;
  double cpu_s = 0;
  std::vector<double> calls;  // CPU seconds of each dfs_processing
  std::size_t max_held = 0;
  std::size_t confirmed = 0;
};

IntakeResult sustained(std::size_t per_tick, int ticks, std::size_t backlog_rows) {
  auto clock = std::make_shared<VirtualClock>(2'000'000);
  auto nsi = std::make_shared<SharedNamespace>();
  nsi->set("bf_interval", Json(30));
  nsi->set("bf_max_val", Json(kMaxVal));
  nsi->set("bf_latest_only", Json(false));
  nsi->set("bf_send_possible", Json(false));
  BfWorkerEnv env = bench_env();
  BFM bfm(env.ctx, clock, env.services, 1);
  Rng rng{42};
  RowMaker m;
  IntakeResult res;
  auto feed = [&](RequestTable batch) {
    res.rows += batch.size();
    const double c0 = process_cpu_seconds();
    const double t0 = thread_cpu_seconds();
    bfm.dfs_processing(nsi, std::move(batch));
    res.calls.push_back(thread_cpu_seconds() - t0);
    res.max_held = std::max(res.max_held, bfm.held());
    bfm.processes().wait_idle(std::chrono::minutes(5));
    res.cpu_s += process_cpu_seconds() - c0;
    res.confirmed += drain(env).confirmed;
  };
  if (backlog_rows > 0) {
    RequestTable t;
    benign(t, m, rng, backlog_rows, clock->now_s() - 3600, 3600);
    for (int k = 0; k < 6; ++k) login_attack(t, m, rng, 2, 20, clock->now_s() - 3600 + k * 600, 20);
    clock->advance_s(16);
    feed(std::move(t));
  } else {
    for (int k = 0; k < ticks; ++k) {
      RequestTable t;
      benign(t, m, rng, per_tick - 200, clock->now_s(), 5);
      login_attack(t, m, rng, 2, 50, clock->now_s(), 5);
      flood(t, m, rng, 2, 50, clock->now_s(), 5);
      clock->advance_s(5);
      feed(std::move(t));
    }
  }
  return res;
}

}  // namespace

void bf_windows(const std::string& only, std::vector<Target>& targets) {
  Rng rng{7};
  RowMaker m;
  struct Scenario {
    std::string name;
    RequestTable rows;
  };
  std::vector<Scenario> scenarios;
  {
    RequestTable t;
    benign(t, m, rng, 5000, 1000, 20);
    scenarios.push_back({"bf_benign", std::move(t)});
  }
  {
    RequestTable t;
    benign(t, m, rng, 4000, 1000, 20);
    login_attack(t, m, rng, 20, 50, 1000, 20);
    scenarios.push_back({"bf_login", std::move(t)});
  }
  {
    RequestTable t;
    benign(t, m, rng, 4000, 1000, 20);
    flood(t, m, rng, 50, 20, 1000, 20);
    scenarios.push_back({"bf_flood", std::move(t)});
  }
  std::erase_if(scenarios, [&only](const Scenario& s) { return !selected(s.name, only); });
  if (scenarios.empty()) return;

  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bench_windows";
  std::filesystem::create_directories(dir);
  std::vector<std::string> files;
  std::vector<double> native;
  std::vector<Counting> found(scenarios.size());
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    files.push_back((dir / (scenarios[i].name + ".jsonl")).string());
    write_lines(scenarios[i].rows, files.back());
    native.push_back(time_window(scenarios[i].rows, found[i]));
  }
  const std::vector<Pandas> pandas = run_pandas(files);
  bool same = pandas.size() == scenarios.size();
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    const Pandas p = i < pandas.size() ? pandas[i] : Pandas{};
    const bool equal = p.found == found[i];
    const bool loop_equal = p.loop_found.confirmed == found[i].confirmed &&
                            p.loop_found.possible == found[i].possible &&
                            p.loop_found.report_rows == found[i].report_rows;
    same = same && equal && loop_equal;
    const double ratio = p.ms > 0 ? p.ms / native[i] : 0;
    const double loop_ratio = p.loop_ms > 0 ? p.loop_ms / native[i] : 0;
    std::printf("%-18s %12.3f %12.3f %8.1f %10.3f %8.1f   %zu/%zu, %zu | pandas %zu/%zu, %zu; loop %zu/%zu, %zu%s\n",
                scenarios[i].name.c_str(), native[i], p.ms, ratio, p.loop_ms, loop_ratio, found[i].confirmed,
                found[i].possible, found[i].report_rows, p.found.confirmed, p.found.possible, p.found.report_rows,
                p.loop_found.confirmed, p.loop_found.possible, p.loop_found.report_rows,
                equal && loop_equal ? "" : "  DIFFERENT");
    if (!equal) {
      // The first few differences each way.
      int shown = 0;
      for (const Finding& f : found[i].findings)
        if (!p.found.findings.count(f) && ++shown <= 10)
          std::printf("    only native: %s %s %s %s %s %d\n", std::get<0>(f).c_str(), std::get<1>(f).c_str(),
                      std::get<2>(f).c_str(), std::get<3>(f).c_str(), std::get<4>(f).c_str(), std::get<5>(f));
      shown = 0;
      for (const Finding& f : p.found.findings)
        if (!found[i].findings.count(f) && ++shown <= 10)
          std::printf("    only pandas: %s %s %s %s %s %d\n", std::get<0>(f).c_str(), std::get<1>(f).c_str(),
                      std::get<2>(f).c_str(), std::get<3>(f).c_str(), std::get<4>(f).c_str(), std::get<5>(f));
    }
    // A window whose findings differ from pandas counts for nothing.
    targets.push_back({"windows_" + scenarios[i].name + "_vs_pandas", equal && loop_equal ? ratio : 0, 5, true});
  }
  std::printf("brute-force findings equal to pandas: %s\n", same ? "yes" : "NO");
}

void bf_intake(const std::string& only, std::vector<Target>& targets) {
  if (!selected("bf", only)) return;
  // 2 minutes of 20,000 requests a second.
  const IntakeResult s = sustained(100'000, 24, 0);
  const double rps = s.cpu_s > 0 ? static_cast<double>(s.rows) / s.cpu_s : 0;
  std::printf("%-18s %12.0f %12s %10zu %10.3f %10.3f %12zu\n", "bf", rps, "-", s.max_held,
              percentile(s.calls, 0.5) * 1e3, percentile(s.calls, 0.99) * 1e3, s.confirmed);
  std::printf("  (bf: rows/s on the CPU of the host and its one worker together; the ddos rows count the host)\n");
  const IntakeResult b = sustained(0, 0, 360'000);
  std::printf("  bf backlog: an hour of %zu requests at once: %.2f CPU s; dfs_processing %.1f ms\n", b.rows, b.cpu_s,
              percentile(b.calls, 1.0) * 1e3);
  targets.push_back({"windows_bf_sustained_rps", rps, 250000, true});
  targets.push_back({"windows_bf_dfs_processing_p99_ms", percentile(s.calls, 0.99) * 1e3, 500, false});
}

}  // namespace bench_windows
