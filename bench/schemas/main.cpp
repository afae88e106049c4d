// bench_schemas: schema inference over a generated corpus of JSON request
// bodies, on one core.
//   - decode alone (json_loads, lenient): our own decoder over the bodies;
//   - simdjson's full parse (DOM) of the same bodies, when built with it: the
//     reference a pass over the text is measured against;
//   - the worker's path: decoding, templating, grouping with key lists,
//     inference of one schema per endpoint;
//   - the builder fed every body (decode + merge of each one);
//   - growth of the time with the number of bodies and with their depth.
// Times are CPU time of the thread, best of the rounds, so the machine's other
// load does not decide them.
// Usage: bench_schemas [--bodies N] [--groups G] [--rounds R] [--growth no]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "schemix/generation.h"
#include "schemix/grouping.h"
#include "schemix/schema_builder.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/runtime/log_sink.h"

#ifdef TESSEL_BENCH_SIMDJSON
#include <simdjson.h>
#endif

using namespace tessel;

namespace {

struct Corpus {
  std::vector<schemix::SchemaRecord> records;
  std::size_t bytes = 0;
};

std::string word(std::mt19937_64& rng, int len) {
  static const char* letters = "abcdefghijklmnopqrstuvwxyz_";
  std::string s;
  for (int i = 0; i < len; ++i) s.push_back(letters[rng() % 27]);
  return s;
}

// A body of about `width` members per object and `depth` levels of nesting.
Json body(std::mt19937_64& rng, int depth, int width, std::uint64_t shape) {
  Json o = Json::object();
  std::mt19937_64 names(shape);  // one endpoint's bodies share their names
  for (int i = 0; i < width; ++i) {
    const std::string key = word(names, 4 + static_cast<int>(names() % 8));
    switch ((names() + (depth > 0 ? 0 : 3)) % 6) {
      case 0:
        if (depth > 0) {
          o[key] = body(rng, depth - 1, std::max(2, width / 2), names());
          break;
        }
        [[fallthrough]];
      case 1: {
        Json a = Json::array();
        const int n = static_cast<int>(rng() % 4);
        const std::uint64_t s = names();
        for (int j = 0; j < n; ++j) a.push_back(depth > 0 ? body(rng, depth - 1, 3, s) : Json(word(rng, 6)));
        o[key] = std::move(a);
        break;
      }
      case 2:
        o[key] = static_cast<std::int64_t>(rng() % 1000000);
        break;
      case 3:
        o[key] = word(rng, 8 + static_cast<int>(rng() % 24));
        break;
      case 4:
        o[key] = static_cast<double>(rng() % 100000) / 100.0;
        break;
      default:
        o[key] = rng() % 2 == 0;
    }
  }
  return o;
}

Corpus make_corpus(std::size_t bodies, std::size_t groups, int depth, int width, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Corpus c;
  c.records.reserve(bodies);
  for (std::size_t i = 0; i < bodies; ++i) {
    const std::size_t g = i % groups;
    schemix::SchemaRecord r;
    r.vhost = "api" + std::to_string(g % 7) + ".example.com";
    r.url = "/v1/resource" + std::to_string(g) + "/" + std::to_string(rng() % 100000);
    r.method = g % 3 == 0 ? "PUT" : "POST";
    r.schema_name = "*.example.com";
    std::string text = json_dumps(body(rng, depth, width, g * 7919 + 1));
    c.bytes += text.size();
    r.body = std::move(text);
    c.records.push_back(std::move(r));
  }
  return c;
}

LogSink quiet_sink() { return LogSink{std::make_shared<EventQueue>(), std::make_shared<Logger>("bench"), false}; }

// FNV-1a over the canonical texts of every schema made (worker path and
// builder on each body) and every choice, to compare the output of two
// builds.
std::uint64_t g_digest = 14695981039346656037ull;
void digest(std::string_view text) {
  for (const unsigned char c : text) g_digest = (g_digest ^ c) * 1099511628211ull;
}

double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_since(double t0) { return thread_cpu_seconds() - t0; }

double decode_only(const Corpus& c, int rounds) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = thread_cpu_seconds();
    std::size_t n = 0;
    for (const auto& rec : c.records) n += json_loads(rec.body.get_ref<const std::string&>(), false).size();
    best = std::min(best, seconds_since(t0));
    if (n == 0) std::printf("?\n");
  }
  return best;
}

#ifdef TESSEL_BENCH_SIMDJSON
// simdjson's DOM parse of every body with one reused parser, the bodies
// padded beforehand; a failed parse makes the figure unusable (-1).
double simdjson_parse(const Corpus& c, int rounds) {
  std::vector<simdjson::padded_string> texts;
  texts.reserve(c.records.size());
  for (const auto& rec : c.records) texts.emplace_back(rec.body.get_ref<const std::string&>());
  simdjson::dom::parser parser;
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    std::size_t failed = 0;
    const double t0 = thread_cpu_seconds();
    for (const auto& t : texts) {
      simdjson::dom::element doc;
      failed += parser.parse(t).get(doc) != simdjson::SUCCESS;
    }
    best = std::min(best, seconds_since(t0));
    if (failed > 0) return -1;
  }
  return best;
}
#endif

// The worker's path; returns the best time and the number of fragments.
double pipeline(const Corpus& c, int rounds, std::size_t* fragments) {
  const LogSink sink = quiet_sink();
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    auto records = c.records;
    SharedNamespace nsi;
    nsi.set("schemix_schemas_list", Json::array());
    const double t0 = thread_cpu_seconds();
    const auto chosen = schemix::schemix_requests_processing(records, sink);
    const auto out = schemix::schemix_schemas_generation(nsi, records, chosen, sink);
    best = std::min(best, seconds_since(t0));
    *fragments = out.size();
    if (r == 0) {
      for (const std::size_t i : chosen) digest(std::to_string(i) + ",");
      for (const auto& f : out) digest(schemix::canonical_text(f));
    }
  }
  return best;
}

double builder_all(const Corpus& c, int rounds) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = thread_cpu_seconds();
    std::vector<schemix::SchemaBuilder> builders(64);
    std::size_t i = 0;
    for (const auto& rec : c.records)
      builders[i++ % 64].add_object(json_loads(rec.body.get_ref<const std::string&>(), false));
    std::vector<std::string> texts;
    for (const auto& b : builders) texts.push_back(schemix::canonical_text(b.to_schema()));
    best = std::min(best, seconds_since(t0));
    if (r == 0)
      for (const auto& t : texts) digest(t);
  }
  return best;
}

void target(const char* name, double value, double goal, bool at_most = false) {
  const bool met = at_most ? value <= goal : value >= goal;
  std::printf("target: %s = %.2f (goal %s %.2f): %s\n", name, value, at_most ? "<=" : ">=", goal,
              met ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t bodies = 20000, groups = 200;
  int rounds = 3;
  bool growth = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--bodies")
      bodies = std::stoul(v);
    else if (k == "--groups")
      groups = std::stoul(v);
    else if (k == "--rounds")
      rounds = std::stoi(v);
    else if (k == "--growth")
      growth = v != "no";
    else {
      std::cerr << "usage: bench_schemas [--bodies N] [--groups G] [--rounds R] [--growth no]\n";
      return 2;
    }
  }
  const Corpus c = make_corpus(bodies, groups, 3, 12, 1);
  const double mb = static_cast<double>(c.bytes) / 1e6;
  std::printf("corpus: %zu bodies, %zu endpoints, %.1f MB, %zu bytes on average\n", bodies, groups, mb,
              c.bytes / bodies);

  const double t_decode = decode_only(c, rounds);
  std::size_t fragments = 0;
  const double t_pipe = pipeline(c, rounds, &fragments);
  const double t_build = builder_all(c, rounds);
  std::printf("decode alone:         %8.1f MB/s\n", mb / t_decode);
  std::printf("worker path:          %8.1f MB/s, %.0f endpoints/s, %zu schemas\n", mb / t_pipe,
              static_cast<double>(groups) / t_pipe, fragments);
  std::printf("builder on each body: %8.1f MB/s\n", mb / t_build);
  std::printf("worker path / decode alone: %.2f\n", t_pipe / t_decode);
#ifdef TESSEL_BENCH_SIMDJSON
  const double t_simd = simdjson_parse(c, rounds);
  // The worker's throughput as a share of simdjson's full parse, both on one core.
  const double share = t_simd > 0 ? t_simd / t_pipe : 0;
  if (t_simd > 0) {
    std::printf("simdjson full parse:  %8.1f MB/s (decode alone is %.2f of it)\n", mb / t_simd, t_simd / t_decode);
  } else {
    std::printf("simdjson full parse:  failed on some body\n");
  }
  std::printf("worker path / simdjson full parse: %.3f of its throughput\n", share);
#else
  std::printf("simdjson full parse:  not built (libsimdjson-dev not installed)\n");
#endif

  std::printf("digest of the choices and schemas: %016llx\n", static_cast<unsigned long long>(g_digest));
  if (!growth) return 0;
  // Growth with the number of bodies (same shape, same endpoints).
  std::printf("growth with the number of bodies (time per body, relative to %zu):\n", bodies / 4);
  double base_per_body = 0, last_ratio = 1;
  for (const std::size_t n : {bodies / 4, bodies / 2, bodies, bodies * 2}) {
    const Corpus cn = make_corpus(n, groups, 3, 12, 2);
    std::size_t f = 0;
    const double per_body = pipeline(cn, rounds, &f) / static_cast<double>(n);
    if (base_per_body == 0) base_per_body = per_body;
    last_ratio = per_body / base_per_body;
    std::printf("  %7zu bodies: %6.2f us per body (x%.2f)\n", n, per_body * 1e6, last_ratio);
  }
  // Growth with depth (time per MB).
  std::printf("growth with nesting depth (time per MB, relative to depth 1):\n");
  double base_per_mb = 0, depth_ratio = 1;
  for (const int depth : {1, 3, 6, 12}) {
    const Corpus cd = make_corpus(bodies / 2, groups, depth, 6, 3);
    std::size_t f = 0;
    const double per_mb = pipeline(cd, rounds, &f) / (static_cast<double>(cd.bytes) / 1e6);
    if (base_per_mb == 0) base_per_mb = per_mb;
    depth_ratio = per_mb / base_per_mb;
    std::printf("  depth %2d: %6.1f bytes per body, %7.2f ms per MB (x%.2f)\n", depth,
                static_cast<double>(cd.bytes) / static_cast<double>(cd.records.size()), per_mb * 1e3, depth_ratio);
  }

  std::printf("digest with the growth corpora: %016llx\n", static_cast<unsigned long long>(g_digest));
  target("schema_inference_mb_per_s_per_core", mb / t_pipe, 100);
#ifdef TESSEL_BENCH_SIMDJSON
  target("schema_worker_vs_simdjson_parse", share, 0.25);
#endif
  target("time_per_body_at_8x_bodies_ratio", last_ratio, 1.5, true);
  target("time_per_mb_at_depth_12_ratio", depth_ratio, 1.5, true);
  return 0;
}
