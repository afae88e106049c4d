// Training data store, side by side in one run:
//   1. staging 200,000 request rows into an SQLite staging file
//      (put_data_into_db) against pandas DataFrame.to_sql and against
//      sqlite3 executemany in one transaction into the same kind of file;
//   2. the exported false-positive application on 10,000 flagged values
//      against 5,000 exported lines (mt_export_processing) against
//      fuzzywuzzy process.extractOne per value, and against fuzzywuzzy as
//      a user who only needs "some line scores 95" writes it (choices
//      processed once, an exact-match set, WRatio only where the lengths
//      can reach 95), each timed on a sample and scaled; the choices and
//      scores of the first sample are compared with fuzzy::extract_one, the
//      coverage of the second with ours.
//
//   bench_dataset [--rows N] [--values N] [--choices N] [--sample N] [--covered-sample N] [--rounds N]
//                 [--data DIR]
//
// Staging takes the best of --rounds runs on each side. The targets compare
// CPU time of the working thread (ours) and of the interpreter process (the
// reference), so the machine's other load and the disk's flushes do not
// decide them; wall times are printed beside.
//
// Rows and lines come from the CSIC 2010 normal traffic of the shared
// reference data.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/data/columns.h"
#include "orvik/dataset/fuzzy.h"
#include "orvik/dataset/mt_data.h"
#include "orvik/dataset/staging.h"
#include "shared/runtime/logging.h"
#include "support/reference_data.h"
#include "support/temp_dir.h"

using namespace tessel;
using clock_type = std::chrono::steady_clock;

namespace {

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// CPU time of the calling thread: figures that do not depend on what else
// the machine runs.
double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Json run_reference(const std::vector<std::string>& args) {
  std::string cmd = "/usr/bin/python3 '" + std::string(TESSEL_BENCH_DATASET_DIR) + "/reference.py'";
  for (const auto& a : args) cmd += " '" + a + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  std::string text;
  char buf[4096];
  for (std::size_t n; p && (n = fread(buf, 1, sizeof buf, p.get())) > 0;) text.append(buf, n);
  if (text.empty()) throw std::runtime_error("the reference side failed: " + cmd);
  return Json::parse(text);
}

RequestRecord record_of(const testing::CsicRequest& q, std::size_t n) {
  RequestRecord r;
  char id[33];
  std::snprintf(id, sizeof id, "%032zx", n);
  r.id = id;
  r.timestamp = 1700000000 + static_cast<std::int64_t>(n);
  r.request_id = std::to_string(n);
  r.vhost = "a.com";
  r.method = q.method;
  const auto qm = q.target.find('?');
  r.url = q.target.substr(0, qm);
  if (qm != std::string::npos) r.args = q.target.substr(qm + 1);
  for (const auto& h : q.headers) {
    if (h.rfind("User-Agent:", 0) == 0) {
      r.ua = h.substr(12);
    } else if (h.rfind("Cookie:", 0) == 0) {
      r.cookie = h.substr(8);
    } else {
      if (!r.other_headers.empty()) r.other_headers += "\r\n";
      r.other_headers += h;
    }
  }
  r.body = q.body;
  r.status_code = 200;
  r.port = 80;
  return r;
}

Json row_json(const RequestRecord& r) {
  const Json full = record_to_json(r);
  Json row = Json::array();
  for (const auto& c : core::vexa_columns()) row.push_back(full[c]);
  return row;
}

std::string mutate(std::string s, std::mt19937& rng) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789=&/";
  const int edits = static_cast<int>(rng() % 4);
  for (int i = 0; i < edits && !s.empty(); ++i) {
    const std::size_t pos = rng() % s.size();
    switch (rng() % 3) {
      case 0:
        s[pos] = alphabet[rng() % alphabet.size()];
        break;
      case 1:
        s.erase(pos, 1);
        break;
      default:
        s.insert(pos, 1, alphabet[rng() % alphabet.size()]);
        break;
    }
  }
  return s;
}

void line(const char* what, double ours, double ref, const char* unit) {
  std::printf("  %-44s %12.4g %12.4g %-3s", what, ours, ref, unit);
  if (ours > 0 && ref > 0) std::printf("  ratio %.1fx", ref / ours);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n_rows = 200000, n_values = 10000, n_choices = 5000, n_sample = 100, n_covered_sample = 300;
  int rounds = 3;
  std::string dir = testing::reference_data_dir();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const std::string v = argv[i + 1];
    if (a == "--rows")
      n_rows = std::stoul(v);
    else if (a == "--values")
      n_values = std::stoul(v);
    else if (a == "--choices")
      n_choices = std::stoul(v);
    else if (a == "--sample")
      n_sample = std::stoul(v);
    else if (a == "--covered-sample")
      n_covered_sample = std::stoul(v);
    else if (a == "--data")
      dir = v;
    else if (a == "--rounds")
      rounds = std::max(1, std::stoi(v));
    else {
      std::fprintf(stderr,
                   "usage: %s [--rows N] [--values N] [--choices N] [--sample N] [--covered-sample N] [--rounds N] "
                   "[--data DIR]\n",
                   argv[0]);
      return 2;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr, "reference data not found: pass --data DIR or set TESSEL_DATA_DIR\n");
    return 2;
  }
  const auto csic = testing::csic_requests(dir);
  if (csic.empty()) return 1;
  testing::TempDir tmp;
  const LogSink sink{std::make_shared<EventQueue>(), std::make_shared<Logger>("bench"), false};
  auto drain = [&] {
    while (sink.q_ec->try_get()) {
    }
  };

  // 1. Staging.
  RequestTable rows;
  rows.reserve(n_rows);
  for (std::size_t i = 0; i < n_rows; ++i) rows.push_back(record_of(csic[i % csic.size()], i));
  {
    Json data = {{"columns", core::vexa_columns()}, {"rows", Json::array()}};
    for (const auto& r : rows) data["rows"].push_back(row_json(r));
    std::ofstream(tmp.file("staging.json")) << data.dump();
  }
  const LockMap locks{{"a.com", std::make_shared<ProcessLock>()}};
  // Each side: the smallest figure over the rounds, each into a new file.
  double ours_staging = 1e300, ours_staging_cpu = 1e300;
  std::int64_t staged = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string f = tmp.file("ours" + std::to_string(round) + ".db");
    const auto t = clock_type::now();
    const double c = thread_cpu_seconds();
    orvik::put_data_into_db(rows, locks, "a.com", f, sink);
    ours_staging = std::min(ours_staging, seconds_since(t));
    ours_staging_cpu = std::min(ours_staging_cpu, thread_cpu_seconds() - c);
    drain();
    staged = orvik::get_cnt_from_db(f, sink);
    std::filesystem::remove(f);
  }
  auto t0 = clock_type::now();
  double c0 = 0;
  t0 = clock_type::now();
  for (std::size_t b = 0; b < n_rows; b += 1000)
    orvik::put_data_into_db(RequestTable(rows.begin() + static_cast<std::ptrdiff_t>(b),
                                         rows.begin() + static_cast<std::ptrdiff_t>(std::min(n_rows, b + 1000))),
                            locks, "a.com", tmp.file("batches.db"), sink);
  const double ours_batches = seconds_since(t0);
  drain();
  const Json ref_staging =
      run_reference({"staging", tmp.file("staging.json"), tmp.file("pandas.db"), std::to_string(rounds)});
  const double pandas_staging = ref_staging["seconds"].get<double>();
  const double pandas_staging_cpu = ref_staging["cpu_seconds"].get<double>();
  const double many_staging = ref_staging["executemany_seconds"].get<double>();
  const double many_staging_cpu = ref_staging["executemany_cpu_seconds"].get<double>();
  const auto many_rows = ref_staging["executemany_rows"].get<std::int64_t>();

  // 2. Exported false-positive application.
  // Request lines and bodies, each once.
  std::vector<std::string> lines;
  {
    std::set<std::string> seen;
    for (const auto& q : csic)
      for (const std::string* l : {&q.target, &q.body})
        if (!l->empty() && seen.insert(*l).second) lines.push_back(*l);
  }
  std::mt19937 rng(7);
  std::shuffle(lines.begin(), lines.end(), rng);
  n_choices = std::min(n_choices, lines.size() * 2 / 3);
  const std::vector<std::string> choices(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(n_choices));
  const std::vector<std::string> others(lines.begin() + static_cast<std::ptrdiff_t>(n_choices), lines.end());
  std::vector<std::string> values;
  for (std::size_t i = 0; i < n_values; ++i)
    values.push_back(i % 2 ? mutate(choices[rng() % choices.size()], rng) : others[rng() % others.size()]);
  {
    Json data = {{"choices", choices}, {"values", values}};
    std::ofstream(tmp.file("fuzzy.json")) << data.dump();
  }
  orvik::MtData mt;
  for (const auto& c : choices) mt.add_line("a.com", "url", c);
  std::vector<bool> covered(values.size());
  t0 = clock_type::now();
  c0 = thread_cpu_seconds();
  for (std::size_t i = 0; i < values.size(); ++i) {
    RequestRecord r;
    r.url = values[i];
    std::vector<std::string> ml_z = {"url"};
    covered[i] = orvik::mt_export_processing(r, "b", "a.com", "a.com", 1, ml_z, mt, sink) == 0;
    drain();
  }
  const double ours_fuzzy = seconds_since(t0);
  const double ours_fuzzy_cpu = thread_cpu_seconds() - c0;
  std::size_t n_covered = 0;
  for (bool c : covered) n_covered += c;

  n_sample = std::min(n_sample, values.size());
  const Json ref_fuzzy = run_reference({"fuzzy", tmp.file("fuzzy.json"), std::to_string(n_sample)});
  const double per_value_ref = ref_fuzzy["seconds"].get<double>() / static_cast<double>(n_sample);
  const double per_value_ref_cpu = ref_fuzzy["cpu_seconds"].get<double>() / static_cast<double>(n_sample);
  std::size_t same_pick = 0, same_cover = 0;
  for (std::size_t i = 0; i < n_sample; ++i) {
    const auto m = orvik::fuzzy::extract_one(values[i], choices);
    const Json& p = ref_fuzzy["picks"][i];
    same_pick += m && m->index == p[0].get<std::size_t>() && m->score == p[1].get<int>();
    same_cover += covered[i] == (p[1].get<int>() >= 95);
  }
  n_covered_sample = std::min(n_covered_sample, values.size());
  const Json ref_covered = run_reference({"covered", tmp.file("fuzzy.json"), std::to_string(n_covered_sample)});
  const double per_value_windowed = ref_covered["seconds"].get<double>() / static_cast<double>(n_covered_sample);
  const double per_value_windowed_cpu =
      ref_covered["cpu_seconds"].get<double>() / static_cast<double>(n_covered_sample);
  std::size_t same_windowed = 0;
  for (std::size_t i = 0; i < n_covered_sample; ++i)
    same_windowed += covered[i] == ref_covered["covered"][i].get<bool>();

  std::printf("bench_dataset: %zu rows, %zu values against %zu exported lines (%zu CSIC requests)\n", n_rows,
              values.size(), choices.size(), csic.size());
  std::printf("  %-44s %12s %12s\n", "", "ours", "reference");
  line("staging, one call, wall (s)", ours_staging, pandas_staging, "s");
  line("staging, one call, CPU (s)", ours_staging_cpu, pandas_staging_cpu, "s");
  line("staging, 1000-row batches (s)", ours_batches, pandas_staging, "s");
  line("staging vs executemany, one call, wall (s)", ours_staging, many_staging, "s");
  line("staging vs executemany, one call, CPU (s)", ours_staging_cpu, many_staging_cpu, "s");
  std::printf("  rows staged %lld of %zu (executemany %lld); pandas driver %s\n", static_cast<long long>(staged),
              n_rows, static_cast<long long>(many_rows), ref_staging["driver"].get<std::string>().c_str());
  line("FP application, all values, wall (s)", ours_fuzzy, per_value_ref * static_cast<double>(values.size()), "s");
  line("FP application, all values, CPU (s)", ours_fuzzy_cpu, per_value_ref_cpu * static_cast<double>(values.size()),
       "s");
  std::printf("  reference timed on %zu values (%.3g s each) and scaled\n", n_sample, per_value_ref);
  std::printf("  covered %zu of %zu values; sample: %zu/%zu identical choices and scores, %zu/%zu identical coverage\n",
              n_covered, values.size(), same_pick, n_sample, same_cover, n_sample);
  line("FP vs windowed fuzzywuzzy, all values, wall (s)", ours_fuzzy,
       per_value_windowed * static_cast<double>(values.size()), "s");
  line("FP vs windowed fuzzywuzzy, all values, CPU (s)", ours_fuzzy_cpu,
       per_value_windowed_cpu * static_cast<double>(values.size()), "s");
  std::printf(
      "  windowed reference timed on %zu values (%.3g s each, choices prepared in %.3g s) and scaled; "
      "%zu/%zu identical coverage\n",
      n_covered_sample, per_value_windowed, ref_covered["prepare_cpu_seconds"].get<double>(), same_windowed,
      n_covered_sample);
  // Targets on CPU time: the machine's other load and the disk's flush
  // times leave both sides alike.
  const double staging_ratio = pandas_staging_cpu / ours_staging_cpu;
  const double fuzzy_ratio = per_value_ref_cpu * static_cast<double>(values.size()) / ours_fuzzy_cpu;
  const bool identical = same_pick == n_sample && same_cover == n_sample && staged == static_cast<std::int64_t>(n_rows);
  std::printf("target: staging = %.1f (goal 10): %s\n", staging_ratio, staging_ratio >= 10 ? "met" : "missed");
  std::printf("target: fuzzy = %.1f (goal 50): %s\n", fuzzy_ratio, fuzzy_ratio >= 50 && identical ? "met" : "missed");
  // Against the strong references: the same goals' figures, for reading.
  const double many_ratio = many_staging_cpu / ours_staging_cpu;
  const double windowed_ratio = per_value_windowed_cpu * static_cast<double>(values.size()) / ours_fuzzy_cpu;
  std::printf(
      "strong references: staging vs executemany %.1fx (rows %s), fuzzy vs windowed fuzzywuzzy %.1fx "
      "(coverage %s)\n",
      many_ratio, many_rows == static_cast<std::int64_t>(n_rows) ? "equal" : "DIFFERENT", windowed_ratio,
      same_windowed == n_covered_sample ? "identical" : "DIFFERENT");
  return 0;
}
