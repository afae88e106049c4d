// Window analysis of the traffic detectors, DDoS and brute force side by
// side in one run, each beside a pandas 1.5.3 reference (Debian's
// python3-pandas) of the same analysis on the same rows:
//   1. CPU time per window, per scenario, against the vectorised reference
//      (one grouping per window) and the per-address loop of boolean masks;
//      the findings are compared with the reference's address by address;
//   2. sustained intake of the detector hosts: rows a second one core takes
//      in (intake, trim, cut and hand-over; the DDoS workers run beside it,
//      the brute-force worker is counted in), and the latency of each call.
//
//   bench_windows [--rows N] [--only PREFIX]
//
// The broker publisher is a counting stand-in; the look-ups are deterministic
// stand-ins (a country and flags from the address's last number) that
// pandas_ref.py repeats. The DDoS
// scenarios are the entries of scenarios(); the brute-force ones live in
// bf.cpp. --rows sizes the DDoS windows; --only runs the scenarios whose
// name starts with PREFIX ("ddos", "bf", "bf_login", ...).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common.h"
#include "core/data/reputation.h"
#include "shared/runtime/allocator.h"
#include "shared/runtime/clock.h"
#include "stormwatch/ddos_detection.h"
#include "stormwatch/ddosm.h"

using namespace tessel;
using namespace bench_windows;

namespace {

// A deterministic generator.
struct Rng {
  std::uint64_t s = 88172645463325252ull;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

std::uint64_t id_counter = 0;

RequestRecord row(std::int64_t ts, const std::string& vhost, const std::string& ip, const std::string& url,
                  std::int64_t status, const std::string& ua) {
  RequestRecord r;
  char id[33];
  std::snprintf(id, sizeof id, "%032llx", static_cast<unsigned long long>(++id_counter));
  r.id = id;
  r.timestamp = ts;
  r.request_id = std::string(id, 16);
  r.ip = ip;
  r.vhost = vhost;
  r.method = "GET";
  r.url = url;
  r.args = "q=1";
  r.ua = ua;
  r.status_code = status;
  return r;
}

std::string addr(std::size_t i) {
  return "198." + std::to_string(18 + i / 65536 % 2) + "." + std::to_string(i / 256 % 256) + "." +
         std::to_string(i % 256);
}

// Rows of one window of `secs` seconds from t0, `n` rows in all.
using Maker = std::function<RequestTable(std::size_t n, std::int64_t t0, std::int64_t secs, Rng& rng)>;

RequestTable benign(std::size_t n, std::int64_t t0, std::int64_t secs, Rng& rng) {
  RequestTable t;
  t.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    t.push_back(row(t0 + static_cast<std::int64_t>(rng.below(secs)), "shop" + std::to_string(rng.below(4)),
                    addr(i / 2 + rng.below(3)), "/p/" + std::to_string(rng.below(500)), 200, "ua"));
  return t;
}

// Users from a few countries, which make the hosts' country history.
RequestTable browsing(std::size_t n, std::int64_t t0, std::int64_t secs, Rng& rng) {
  static const char* const countries[] = {"DE", "DE", "US", "CN", ""};
  RequestTable t;
  t.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    t.push_back(row(t0 + static_cast<std::int64_t>(rng.below(secs)), "shop" + std::to_string(rng.below(4)),
                    addr(i / 12), "/p/" + std::to_string(rng.below(50)), 200, "ua" + std::to_string(i / 12 % 3)));
    t.back().cc = countries[i / 12 % 5];
  }
  return t;
}

// Background browsing with floods of identical requests from 20 private and
// 40 public addresses (some of them with varying agents) and short bursts of
// 5 from 30 more public ones.
RequestTable ddos(std::size_t n, std::int64_t t0, std::int64_t secs, Rng& rng) {
  RequestTable t = browsing(n / 2, t0, secs, rng);
  for (std::size_t k = 0; k < 30 && t.size() + 5 <= n; ++k)
    for (int j = 0; j < 5; ++j)
      t.push_back(row(t0 + static_cast<std::int64_t>(rng.below(secs)), "shop0", "203.0.114." + std::to_string(k), "/",
                      200, "ua"));
  for (std::size_t i = t.size(); i < n; ++i) {
    const std::size_t k = i / 2 % 40;
    if (i % 2 != 0) {
      t.push_back(row(t0 + static_cast<std::int64_t>(rng.below(secs)), "shop0", "10.66.0." + std::to_string(i / 2 % 20),
                      "/", 200, "ua"));
    } else {
      t.push_back(row(t0 + static_cast<std::int64_t>(rng.below(secs)), "shop0", "203.0.113." + std::to_string(k), "/",
                      200, k % 4 == 0 ? "ua" + std::to_string(i % 5) : "ua"));
    }
  }
  return t;
}

// Background browsing with 404s from 40 private and 40 public addresses.
RequestTable scraping(std::size_t n, std::int64_t t0, std::int64_t secs, Rng& rng) {
  RequestTable t = browsing(n / 2, t0, secs, rng);
  for (std::size_t i = t.size(); i < n; ++i)
    t.push_back(row(t0 + static_cast<std::int64_t>(rng.below(secs)), "shop1",
                    (i % 2 != 0 ? "10.77.0." : "203.0.115.") + std::to_string(i / 2 % 40), "/item/" + std::to_string(i),
                    404, "ua"));
  return t;
}

// The look-up stand-ins: a country and flags from the address's last number
// (pandas_ref.py's geo_entry and block_lists).
std::uint64_t last_number(const std::string& ip) {
  const std::size_t dot = ip.rfind('.');
  return dot == std::string::npos ? 0 : std::strtoull(ip.c_str() + dot + 1, nullptr, 10);
}

Json geo_entry(const std::string& ip) {
  static const char* const countries[] = {"DE", "CN", "US", "RU", ""};
  const std::uint64_t k = last_number(ip);
  Json e = Json{{"cc", countries[k % 5]}};
  if (k % 9 == 0) e["hosting"] = true;
  if (k % 17 == 0) e["tor"] = true;
  if (k % 6 == 0) e["mobile"] = true;
  if (k % 23 == 0) e["crawler"] = true;
  return e;
}

// What a worker found: host, address, kind, confirmed.
using Finding = std::tuple<std::string, std::string, std::string, bool>;

// The worker of one kind of window, with counting stand-ins.
using Analyse = std::function<void(const RequestTable& rows, const stormwatch::CountryCounts& history, bool collect)>;

struct Counting {
  std::shared_ptr<AttackQueue> q_attack_bd = std::make_shared<AttackQueue>();
  std::shared_ptr<AadQueue> q_aad = std::make_shared<AadQueue>();
  std::size_t published = 0, looked_up = 0;
  // Filled by drain(true): the findings and their report rows.
  std::set<Finding> findings;
  std::size_t report_rows = 0;

  stormwatch::DDoSServices services() {
    return {[this](const Json& addrs) {
              ++looked_up;
              Json out = Json::object();
              for (const auto& a : addrs) out[a.get<std::string>()] = geo_entry(a.get<std::string>());
              return out;
            },
            [](const std::string& ip) { return last_number(ip) % 19 == 0 ? Json::array({"SBL"}) : Json::array(); },
            [this](const RequestTable& rows, int) { published += rows.size(); }};
  }
  void drain(bool collect = false) {
    while (auto rep = q_attack_bd->try_get()) {
      if (!collect) continue;
      for (const RequestRecord& r : rep->table) {
        const bool scraping = r.extras.value("description", "") == core::scraping_desc;
        findings.emplace(stormwatch::value_key(r.vhost), stormwatch::value_key(r.ip), scraping ? "scraping" : "ddos",
                         !r.extras.value("possible", true));
      }
      report_rows += rep->table.size();
    }
    while (q_aad->try_get()) {
    }
  }
};

// The hosts' country history of a window's rows, as the host counts it.
stormwatch::CountryCounts country_counts(const RequestTable& t) {
  stormwatch::CountryCounts out;
  for (const RequestRecord& r : t) {
    auto& h = out[stormwatch::value_key(r.vhost)];
    ++h.rows;
    ++h.cc[r.cc];
  }
  return out;
}

LogSink quiet_sink() { return LogSink{std::make_shared<EventQueue>(), std::make_shared<Logger>("bench"), false}; }

struct Scenario {
  std::string name;         // target names: windows_<name>_...
  std::string pandas_kind;  // the reference's window kind
  Maker make;
  std::function<Analyse(Counting&)> worker;
  std::function<std::shared_ptr<WindowDetector>(Counting&, ClockPtr)> host;
  std::int64_t interval;
};

Analyse ddos_worker(Counting& c) {
  auto env = std::make_shared<stormwatch::DDoSWorkerEnv>(stormwatch::DDoSWorkerEnv{
      "http://api/attack", c.q_attack_bd, c.q_aad, c.services(), quiet_sink(), std::make_shared<VirtualClock>(0)});
  return [env, &c](const RequestTable& rows, const stormwatch::CountryCounts& history, bool collect) {
    stormwatch::ddos_detection(core::Window<RequestRecord>::of(rows), history, 120, false, true, *env);
    c.drain(collect);
  };
}

std::shared_ptr<WindowDetector> ddos_host(Counting& c, ClockPtr clock) {
  core::DetectorContext ctx;
  ctx.sink = quiet_sink();
  ctx.queues.q_attack_bd = c.q_attack_bd;
  ctx.queues.q_aad = c.q_aad;
  ctx.endpoints.set_attack_url = "http://api/attack";
  return std::make_shared<stormwatch::DDoSM>(ctx, stormwatch::DDoSOptions{std::move(clock), 0, c.services()});
}

std::vector<Scenario> scenarios() {
  return {
      {"ddos_benign", "ddos", benign, ddos_worker, ddos_host, 120},
      {"ddos_browsing", "ddos", browsing, ddos_worker, ddos_host, 120},
      {"ddos_flood", "ddos", ddos, ddos_worker, ddos_host, 120},
      {"ddos_scraping", "ddos", scraping, ddos_worker, ddos_host, 120},
  };
}

std::string csv_field(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void write_csv(const RequestTable& t, const std::string& path) {
  std::ofstream f(path);
  f << "id,timestamp,vhost,ip,url,args,body,ua,status_code,cc,request_id\n";
  for (const RequestRecord& r : t) {
    f << r.id << ',' << r.timestamp << ',' << csv_field(r.vhost.get<std::string>()) << ','
      << csv_field(r.ip.get<std::string>()) << ',' << csv_field(r.url) << ',' << csv_field(r.args) << ','
      << csv_field(r.body) << ',' << csv_field(r.ua) << ',' << r.status_code << ',' << csv_field(r.cc) << ','
      << csv_field(r.request_id.get<std::string>()) << '\n';
  }
}

struct Reference {
  double ms = -1, loop_ms = -1;
  std::set<Finding> findings;
  std::size_t report_rows = 0;
};

Reference python_window(const std::string& args) {
  Reference out;
  const std::string cmd = "/usr/bin/python3 " + std::string(TESSEL_SOURCE_DIR) + "/bench/windows/pandas_ref.py " + args;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  std::string text;
  char buf[65536];
  while (std::fgets(buf, sizeof buf, p) != nullptr) text += buf;
  if (::pclose(p) != 0) return out;
  try {
    const Json j = Json::parse(text);
    for (const auto& f : j.at("findings"))
      out.findings.emplace(f[0].get<std::string>(), f[1].get<std::string>(), f[2].get<std::string>(), f[3].get<bool>());
    out.report_rows = j.at("report_rows").get<std::size_t>();
    out.ms = j.at("ms").get<double>();
    out.loop_ms = j.at("loop_ms").get<double>();
  } catch (const std::exception&) {
    out.ms = out.loop_ms = -1;
  }
  return out;
}

double python(const std::string& args) {
  const std::string cmd = "/usr/bin/python3 " + std::string(TESSEL_SOURCE_DIR) + "/bench/windows/pandas_ref.py " + args;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[128] = {};
  const bool got = std::fgets(buf, sizeof buf, p) != nullptr;
  const int rc = ::pclose(p);
  if (!got || rc != 0) return -1;
  return std::atof(buf);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t rows = 20000;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc) rows = std::strtoull(argv[++i], nullptr, 10);
    if (a == "--only" && i + 1 < argc) only = argv[++i];
  }
  // As the service does at start.
  tune_allocator_for_batches();
  const std::filesystem::path tmp = std::filesystem::temp_directory_path() / "bench_windows";
  std::filesystem::create_directories(tmp);
  std::vector<Target> targets;

  std::printf("1. CPU time per window (%zu rows), one core\n", rows);
  std::printf("%-18s %12s %12s %8s %10s %8s   findings confirmed/possible, report rows\n", "scenario", "native ms",
              "pandas ms", "ratio", "loop ms", "ratio");
  for (const Scenario& s : scenarios()) {
    if (!selected(s.name, only)) continue;
    Rng rng;
    const RequestTable t = s.make(rows, 1000000, s.interval, rng);
    const stormwatch::CountryCounts history = country_counts(t);
    Counting c;
    Analyse analyse = s.worker(c);
    analyse(t, history, true);  // warm-up, and what it finds
    int reps = 0;
    const double t0 = thread_cpu_seconds();
    double spent = 0;
    while (spent < 1.0 || reps < 3) {
      analyse(t, history, false);
      ++reps;
      spent = thread_cpu_seconds() - t0;
    }
    const double native = spent / reps * 1e3;
    const std::string csv = (tmp / (s.name + ".csv")).string();
    write_csv(t, csv);
    const Reference ref = python_window("window " + s.pandas_kind + " " + csv + " 3");
    const bool equal = ref.ms > 0 && ref.findings == c.findings && ref.report_rows == c.report_rows;
    const double ratio = ref.ms > 0 ? ref.ms / native : 0;
    const double loop_ratio = ref.loop_ms > 0 ? ref.loop_ms / native : 0;
    std::size_t confirmed = 0;
    for (const Finding& f : c.findings) confirmed += std::get<3>(f);
    std::printf("%-18s %12.3f %12.3f %8.1f %10.3f %8.1f   %zu/%zu, %zu | pandas %zu findings, %zu rows%s\n",
                s.name.c_str(), native, ref.ms, ratio, ref.loop_ms, loop_ratio, confirmed,
                c.findings.size() - confirmed, c.report_rows, ref.findings.size(), ref.report_rows,
                equal ? "" : "  DIFFERENT");
    if (!equal) {
      // The first few differences each way.
      int shown = 0;
      for (const Finding& f : c.findings)
        if (!ref.findings.count(f) && ++shown <= 10)
          std::printf("    only native: %s %s %s %d\n", std::get<0>(f).c_str(), std::get<1>(f).c_str(),
                      std::get<2>(f).c_str(), std::get<3>(f));
      shown = 0;
      for (const Finding& f : ref.findings)
        if (!c.findings.count(f) && ++shown <= 10)
          std::printf("    only pandas: %s %s %s %d\n", std::get<0>(f).c_str(), std::get<1>(f).c_str(),
                      std::get<2>(f).c_str(), std::get<3>(f));
    }
    // A window whose findings differ from the reference's counts for nothing.
    targets.push_back({"windows_" + s.name + "_vs_pandas", equal ? ratio : 0, 5, true});
  }
  bf_windows(only, targets);

  std::printf("\n2. Sustained intake: 5-s passes in virtual time, one core for the host\n");
  std::printf("%-18s %12s %12s %10s %10s %10s %12s\n", "scenario", "rows/s", "pandas r/s", "max held", "p50 ms",
              "p99 ms", "published");
  for (const Scenario& s : scenarios()) {
    if (!selected(s.name, only)) continue;
    // 30 minutes of traffic at a rate whose 5-s batches are `rows` / 4.
    const std::size_t batch = std::max<std::size_t>(rows / 4, 1);
    const int passes = 360;
    Rng rng;
    std::vector<RequestTable> batches;
    for (int p = 0; p < passes; ++p) batches.push_back(s.make(batch, 2000000 + p * 5, 5, rng));
    auto clock = std::make_shared<VirtualClock>(2000000);
    Counting c;
    auto host = s.host(c, clock);
    auto nsi = std::make_shared<SharedNamespace>();
    nsi->set("ddos_interval", Json(s.interval));
    nsi->set("ddos_latest_only", Json(false));
    nsi->set("ddos_send_possible", Json(false));
    nsi->set("bf_interval", Json(s.interval));
    nsi->set("bf_max_val", Json(10));
    nsi->set("bf_latest_only", Json(false));
    nsi->set("bf_send_possible", Json(false));
    RequestTable all;
    for (const auto& b : batches) all.insert(all.end(), b.begin(), b.end());
    std::vector<double> calls;
    std::size_t max_held = 0;
    double cpu = 0;
    auto* ddosm = dynamic_cast<stormwatch::DDoSM*>(host.get());
    for (auto& b : batches) {
      clock->advance_s(5);
      const double t0 = thread_cpu_seconds();
      host->dfs_processing(nsi, std::move(b));
      const double d = thread_cpu_seconds() - t0;
      cpu += d;
      calls.push_back(d);
      if (ddosm) max_held = std::max(max_held, ddosm->held());
      c.drain();
    }
    if (ddosm) ddosm->workers().wait_idle(std::chrono::minutes(10));
    const double rps = static_cast<double>(batch * passes) / cpu;
    const std::string csv = (tmp / (s.name + "_stream.csv")).string();
    write_csv(all, csv);
    const double pandas_cpu = python("intake " + csv + " " + std::to_string(batch) + " " + std::to_string(s.interval));
    const double pandas_rps = pandas_cpu > 0 ? static_cast<double>(batch * passes) / pandas_cpu : 0;
    std::printf("%-18s %12.0f %12.0f %10zu %10.3f %10.3f %12zu\n", s.name.c_str(), rps, pandas_rps, max_held,
                percentile(calls, 0.5) * 1e3, percentile(calls, 0.99) * 1e3, c.published);
    // The held table stays within one cut's span of traffic (window + 2 passes).
    const bool bounded = max_held <= batch * static_cast<std::size_t>((s.interval / 2) / 5 + 3);
    targets.push_back({"windows_" + s.name + "_sustained_rps", bounded ? rps : 0, 250000, true});
    targets.push_back({"windows_" + s.name + "_dfs_processing_p99_ms", percentile(calls, 0.99) * 1e3, 500, false});
  }
  bf_intake(only, targets);

  std::printf("\n");
  for (const Target& t : targets) {
    const bool met = t.at_least ? t.value >= t.goal : t.value <= t.goal;
    std::printf("target: %s = %.2f (goal %s %.2f): %s\n", t.name.c_str(), t.value, t.at_least ? ">=" : "<=", t.goal,
                met ? "met" : "missed");
  }
  return 0;
}
