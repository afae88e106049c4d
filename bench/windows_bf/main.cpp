// Brute-force and flood windows: the window analysis (bf_detection) beside
// a pandas implementation of the same analysis on the same rows, and the
// sustained intake of the host (merge, cut, workers) on a virtual clock.
// Ends with one target line per goal.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "passgate/bf_analysis.h"
#include "passgate/bfm.h"
#include "shared/runtime/clock.h"
#include "shared/runtime/request.h"

using namespace tessel;
using namespace tessel::passgate;

namespace {

double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double process_cpu_s() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

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

struct Counting {
  std::size_t confirmed = 0, possible = 0, report_rows = 0;
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
  for (auto& r : env.ctx.queues.q_attack_bd->drain()) c.report_rows += r.table.size();
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

struct WindowResult {
  std::string name;
  std::size_t rows;
  double cpp_ms;
  Counting counts;
};

WindowResult time_window(const std::string& name, const RequestTable& t, std::int64_t max_val) {
  const BfWorkerEnv env = bench_env();
  BfSettings s;
  s.max_val = max_val;
  s.send_possible = true;
  std::vector<const RequestRecord*> rows;
  for (const auto& r : t) rows.push_back(&r);
  bf_detection(rows, s, env);
  const Counting c = drain(env);
  int reps = 0;
  double spent = 0;
  while (reps < 5 || spent < 1.0) {
    const double t0 = thread_cpu_s();
    bf_detection(rows, s, env);
    spent += thread_cpu_s() - t0;
    ++reps;
    drain(env);
  }
  return {name, t.size(), spent / reps * 1000.0, c};
}

struct Pandas {
  double ms = 0;
  Counting counts;
};

std::vector<Pandas> run_pandas(const std::vector<std::string>& files, std::int64_t max_val) {
  std::string cmd = "/usr/bin/python3 " + std::string(TESSEL_SOURCE_DIR) + "/bench/windows_bf/reference.py " +
                    std::to_string(max_val);
  for (const auto& f : files) cmd += " '" + f + "'";
  std::vector<Pandas> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, p) != nullptr) {
    try {
      Json j = Json::parse(buf);
      Pandas r;
      r.ms = j["ms_per_window"].get<double>();
      r.counts.confirmed = j["confirmed"].get<std::size_t>();
      r.counts.possible = j["possible"].get<std::size_t>();
      r.counts.report_rows = j["report_rows"].get<std::size_t>();
      out.push_back(r);
    } catch (const std::exception&) {
    }
  }
  pclose(p);
  return out;
}

// The host fed one batch per 5-second pass on a virtual clock; CPU of the
// host and its workers per request.
struct IntakeResult {
  std::size_t rows = 0;
  double cpu_s = 0;
  double p99_ms = 0;
  std::size_t windows = 0;
};

IntakeResult sustained(std::size_t per_tick, int ticks, std::size_t backlog_rows) {
  auto clock = std::make_shared<VirtualClock>(2'000'000);
  auto nsi = std::make_shared<SharedNamespace>();
  nsi->set("bf_interval", Json(30));
  nsi->set("bf_max_val", Json(10));
  nsi->set("bf_latest_only", Json(false));
  nsi->set("bf_send_possible", Json(false));
  BfWorkerEnv env = bench_env();
  BFM bfm(env.ctx, clock, env.services, 1);
  Rng rng{42};
  RowMaker m;
  IntakeResult res;
  std::vector<double> lat;
  auto feed = [&](RequestTable batch) {
    res.rows += batch.size();
    const double c0 = process_cpu_s();
    const double t0 = thread_cpu_s();
    bfm.dfs_processing(nsi, std::move(batch));
    lat.push_back((thread_cpu_s() - t0) * 1000.0);
    bfm.processes().wait_idle(std::chrono::minutes(5));
    res.cpu_s += process_cpu_s() - c0;
    drain(env);
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
  std::sort(lat.begin(), lat.end());
  res.p99_ms = lat.empty() ? 0 : lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
  return res;
}

void target(const char* name, double value, double goal) {
  std::printf("target: %s = %.2f (goal >= %.2f): %s\n", name, value, goal, value >= goal ? "met" : "missed");
}

}  // namespace

int main() {
  const std::int64_t max_val = 10;
  Rng rng{7};
  RowMaker m;
  std::vector<std::pair<std::string, RequestTable>> scenarios;
  {
    RequestTable t;
    benign(t, m, rng, 5000, 1000, 20);
    scenarios.emplace_back("benign", std::move(t));
  }
  {
    RequestTable t;
    benign(t, m, rng, 4000, 1000, 20);
    login_attack(t, m, rng, 20, 50, 1000, 20);
    scenarios.emplace_back("login brute force", std::move(t));
  }
  {
    RequestTable t;
    benign(t, m, rng, 4000, 1000, 20);
    flood(t, m, rng, 50, 20, 1000, 20);
    scenarios.emplace_back("flood", std::move(t));
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = std::string(tmp ? tmp : "/tmp") + "/bench_windows_bf_" + std::to_string(getpid());
  std::system(("mkdir -p '" + dir + "'").c_str());
  std::vector<std::string> files;
  std::vector<WindowResult> cpp;
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    files.push_back(dir + "/w" + std::to_string(i) + ".jsonl");
    write_lines(scenarios[i].second, files.back());
    cpp.push_back(time_window(scenarios[i].first, scenarios[i].second, max_val));
  }
  const auto pandas = run_pandas(files, max_val);
  std::system(("rm -rf '" + dir + "'").c_str());

  std::printf("%-18s %7s %12s %12s %8s  %s\n", "window", "rows", "C++ ms", "pandas ms", "ratio",
              "confirmed/possible/report rows (C++ | pandas)");
  double worst = 1e30;
  bool same = pandas.size() == cpp.size();
  for (std::size_t i = 0; i < cpp.size(); ++i) {
    const auto& c = cpp[i];
    const double pm = i < pandas.size() ? pandas[i].ms : 0;
    const double ratio = c.cpp_ms > 0 ? pm / c.cpp_ms : 0;
    worst = std::min(worst, ratio);
    Counting pc = i < pandas.size() ? pandas[i].counts : Counting{};
    same = same && pc.confirmed == c.counts.confirmed && pc.possible == c.counts.possible &&
           pc.report_rows == c.counts.report_rows;
    std::printf("%-18s %7zu %12.3f %12.1f %8.1f  %zu/%zu/%zu | %zu/%zu/%zu\n", c.name.c_str(), c.rows, c.cpp_ms, pm,
                ratio, c.counts.confirmed, c.counts.possible, c.counts.report_rows, pc.confirmed, pc.possible,
                pc.report_rows);
  }
  std::printf("findings equal to pandas: %s\n", same ? "yes" : "NO");

  const IntakeResult s = sustained(100'000, 24, 0);
  const double rate = s.cpu_s > 0 ? static_cast<double>(s.rows) / s.cpu_s : 0;
  std::printf("sustained: %zu requests in %.2f CPU s (host and workers): %.0f requests/s; dfs_processing p99 %.1f ms\n",
              s.rows, s.cpu_s, rate, s.p99_ms);
  const IntakeResult b = sustained(0, 0, 360'000);
  std::printf("backlog: an hour of %zu requests at once: %.2f CPU s; dfs_processing %.1f ms\n", b.rows, b.cpu_s,
              b.p99_ms);

  target("window speed-up over pandas (worst scenario)", same ? worst : 0, 20);
  target("sustained intake, requests/s on one core", rate, 250000);
  return 0;
}
