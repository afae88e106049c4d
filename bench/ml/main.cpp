// Fits and predicts the same zones with the model engine and with
// scikit-learn, side by side, and prints times, ratios, peak memory and
// model-file sizes.
//
//   bench_ml [--zones args,other_headers] [--data DIR] [--no-reference]
//            [--single N]   (values classified one at a time by scikit-learn)
//            [--jobs N]     (threads of our forest fit; default all cores)
//            [--repeat N]   (runs of each side, alternating; each figure is
//                            the smallest seen, which damps a busy machine)
//
// Data: every attack payload (label 1) against normal values derived from the
// CSIC requests (label 0): "args" takes each name=value pair of the query
// strings and form bodies, "other_headers" each header line other than
// User-Agent and Cookie. The probe set is 10,000 of the samples.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "ml/forest.h"
#include "ml/model_io.h"
#include "ml/tfidf.h"
#include "shared/pyvalues/json.h"
#include "support/reference_data.h"

using namespace tessel;
using namespace tessel::ml;
using Clock = std::chrono::steady_clock;

namespace {

struct Zone {
  std::vector<std::string> docs;
  std::vector<std::int64_t> y;
  std::vector<std::string> probe;
};

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream ss(s);
  for (std::string part; std::getline(ss, part, sep);) out.push_back(part);
  return out;
}

Zone build_zone(const std::string& name, const std::vector<std::string>& attacks,
                const std::vector<tessel::testing::CsicRequest>& requests) {
  Zone z;
  z.docs = attacks;
  z.y.assign(attacks.size(), 1);
  for (const auto& r : requests) {
    std::vector<std::string> values;
    if (name == "args") {
      std::string q = r.method == "GET" ? (r.target.find('?') == std::string::npos
                                               ? ""
                                               : r.target.substr(r.target.find('?') + 1))
                                        : r.body;
      if (!q.empty()) values = split(q, '&');
    } else if (name == "other_headers") {
      for (const auto& h : r.headers)
        if (!h.starts_with("User-Agent:") && !h.starts_with("Cookie:")) values.push_back(h);
    } else {
      throw std::runtime_error("unknown zone " + name);
    }
    for (auto& v : values) {
      z.docs.push_back(std::move(v));
      z.y.push_back(0);
    }
  }
  std::size_t step = std::max<std::size_t>(1, z.docs.size() / 10000);
  for (std::size_t i = 0; i < z.docs.size() && z.probe.size() < 10000; i += step) z.probe.push_back(z.docs[i]);
  return z;
}

long vm_hwm_kb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return 0;
}

void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::string pack_bits(const std::vector<std::int64_t>& v) {
  std::string hex;
  char buf[3];
  for (std::size_t i = 0; i < v.size(); i += 8) {
    unsigned byte = 0;
    for (std::size_t j = 0; j < 8; ++j) byte = (byte << 1) | (i + j < v.size() && v[i + j] ? 1u : 0u);
    std::snprintf(buf, sizeof buf, "%02x", byte);
    hex += buf;
  }
  return hex;
}

// Our side of one zone; run in a child process so that peak memory is the zone's own.
int g_jobs = -1;

Json measure_ours(const std::string& name, const Zone& z) {
  Json out;
  reset_peak();
  out["rss_before_kb"] = vm_hwm_kb();
  auto t0 = Clock::now();
  TfidfVectorizer vect;
  CsrMatrix x = vect.fit_transform(z.docs);
  auto t1 = Clock::now();
  RandomForestClassifier rf;
  rf.fit(x, z.y, g_jobs);
  auto t2 = Clock::now();
  out["peak_kb"] = vm_hwm_kb();
  out["vectorise_s"] = seconds(t0, t1);
  out["fit_s"] = seconds(t1, t2);
  out["n_features"] = x.n_cols;
  out["nnz"] = x.nnz();
  CsrMatrix().indices.swap(x.indices);
  double best = 1e9;
  std::vector<std::int64_t> pred;
  for (int rep = 0; rep < 3; ++rep) {
    auto t = Clock::now();
    rf.predict(vect.transform(z.probe, -1), pred, -1);
    best = std::min(best, seconds(t, Clock::now()));
  }
  out["batch_s_per_value"] = best / z.probe.size();
  out["batch_pred"] = pack_bits(pred);
  {
    CsrMatrix row;
    std::vector<std::int64_t> one;
    auto t = Clock::now();
    for (const std::string& doc : z.probe) {
      std::string_view sv = doc;
      vect.transform(std::span<const std::string_view>(&sv, 1), row);
      rf.predict(row, one, 1);
    }
    out["single_s_per_value"] = seconds(t, Clock::now()) / z.probe.size();
  }
  out["vect_file_bytes"] = to_bytes(VectorizerMap{{name, vect}}).size();
  out["rf_file_bytes"] = to_bytes(ForestMap{{name, rf}}).size();
  return out;
}

// Builds the zone in a child process, so that the measured memory is that
// zone's own.
Json in_child(const std::string& name, const std::string& dir) {
  int fd[2];
  if (pipe(fd) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    Zone z;
    {
      auto attacks = tessel::testing::attack_values(dir);
      auto requests = tessel::testing::csic_requests(dir);
      z = build_zone(name, attacks, requests);
    }
    malloc_trim(0);
    std::string text = measure_ours(name, z).dump();
    if (write(fd[1], text.data(), text.size()) < 0) _exit(1);
    _exit(0);
  }
  close(fd[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fd[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(fd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (text.empty()) throw std::runtime_error("measurement of zone " + name + " failed");
  return Json::parse(text);
}

Json run_reference(const std::string& data_file, const std::string& name, int n_single) {
  std::string cmd = "/usr/bin/python3 '" + std::string(TESSEL_BENCH_ML_DIR) + "/reference.py' '" + data_file + "' '" +
                    name + "' " + std::to_string(n_single);
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  std::string text;
  char buf[4096];
  for (std::size_t n; p && (n = fread(buf, 1, sizeof buf, p.get())) > 0;) text.append(buf, n);
  if (text.empty()) throw std::runtime_error("the scikit-learn side failed for zone " + name);
  return Json::parse(text);
}

// Merges a run into the figures so far: each number keeps its smallest value.
void keep_min(Json& acc, const Json& run) {
  if (acc.is_null() || acc.empty()) {
    acc = run;
    return;
  }
  for (auto it = run.begin(); it != run.end(); ++it)
    if (it.value().is_number() && acc.contains(it.key()))
      acc[it.key()] = std::min(acc[it.key()].get<double>(), it.value().get<double>());
}

std::size_t agreement(const std::string& a, const std::string& b, std::size_t n) {
  std::size_t same = 0;
  for (std::size_t i = 0; i < n; ++i) {
    int x = std::stoi(a.substr(i / 8 * 2, 2), nullptr, 16) >> (7 - i % 8) & 1;
    int y = std::stoi(b.substr(i / 8 * 2, 2), nullptr, 16) >> (7 - i % 8) & 1;
    same += x == y;
  }
  return same;
}

void row(const char* what, double ours, double ref, const char* unit, bool ratio_ref_over_ours = true) {
  std::printf("  %-34s %14.6g %14.6g %-4s", what, ours, ref, unit);
  if (ref > 0 && ours > 0) std::printf("  ratio %.1fx", ratio_ref_over_ours ? ref / ours : ours / ref);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string zones_arg = "args,other_headers", dir = tessel::testing::reference_data_dir();
  bool reference = true;
  int n_single = 300;
  int repeat = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--zones" && i + 1 < argc) zones_arg = argv[++i];
    else if (a == "--data" && i + 1 < argc) dir = argv[++i];
    else if (a == "--no-reference") reference = false;
    else if (a == "--single" && i + 1 < argc) n_single = std::stoi(argv[++i]);
    else if (a == "--jobs" && i + 1 < argc) g_jobs = std::stoi(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::stoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s [--zones a,b] [--data DIR] [--no-reference] [--single N] [--jobs N] [--repeat N]\n", argv[0]);
      return 2;
    }
  }
  if (dir.empty()) {
    std::fprintf(stderr, "reference data not found: pass --data DIR or set TESSEL_DATA_DIR\n");
    return 2;
  }
  // The data file the scikit-learn side reads.
  std::map<std::string, std::array<std::size_t, 3>> sizes;  // samples, probe values
  char tmpl[] = "/tmp/bench_ml_XXXXXX";
  {
    auto attacks = tessel::testing::attack_values(dir);
    auto requests = tessel::testing::csic_requests(dir);
    Json all;
    for (const std::string& name : split(zones_arg, ',')) {
      Zone z = build_zone(name, attacks, requests);
      sizes[name] = {z.docs.size(), z.probe.size(), 0};
      all[name] = {{"docs", z.docs}, {"y", z.y}, {"probe", z.probe}};
    }
    int fd = mkstemp(tmpl);
    if (fd < 0) return 1;
    close(fd);
    std::ofstream(tmpl) << all.dump();
  }
  malloc_trim(0);

  std::printf("model engine vs scikit-learn 1.2.1 (n_jobs=-1), %u cores, best of %d run(s)\n",
              std::thread::hardware_concurrency(), repeat);
  for (const std::string& name : split(zones_arg, ',')) {
    Json ours, ref = Json::object();
    for (int rep = 0; rep < repeat; ++rep) {
      keep_min(ours, in_child(name, dir));
      if (reference) keep_min(ref, run_reference(tmpl, name, n_single));
    }
    auto get = [](const Json& j, const char* k) { return j.contains(k) ? j[k].get<double>() : 0.0; };
    const std::size_t n_probe = sizes[name][1];
    std::printf("\nzone %s: %zu samples x %lld features, %lld non-zeros; %zu probe values\n", name.c_str(),
                sizes[name][0], ours["n_features"].get<long long>(), ours["nnz"].get<long long>(), n_probe);
    std::printf("  %-34s %14s %14s %-4s\n", "", "ours", "scikit-learn", "");
    row("vectorise (fit_transform)", get(ours, "vectorise_s"), get(ref, "vectorise_s"), "s");
    row("fit forest", get(ours, "fit_s"), get(ref, "fit_s"), "s");
    row("vectorise + fit", get(ours, "vectorise_s") + get(ours, "fit_s"), get(ref, "vectorise_s") + get(ref, "fit_s"),
        "s");
    row("transform+predict, batch, per value", get(ours, "batch_s_per_value") * 1e6,
        get(ref, "batch_s_per_value") * 1e6, "us");
    row("transform+predict, one at a time", get(ours, "single_s_per_value") * 1e6,
        get(ref, "single_s_per_value") * 1e6, "us");
    row("peak RSS while training", get(ours, "peak_kb") / 1024, get(ref, "peak_kb") / 1024, "MiB");
    row("RSS before training", get(ours, "rss_before_kb") / 1024, get(ref, "rss_before_kb") / 1024, "MiB");
    row("vectoriser file / pickle", get(ours, "vect_file_bytes"), get(ref, "vect_file_bytes"), "B");
    row("forest file / pickle", get(ours, "rf_file_bytes"), get(ref, "rf_file_bytes"), "B");
    if (reference) {
      std::size_t same = agreement(ours["batch_pred"], ref["batch_pred"], n_probe);
      std::printf("  predictions equal on the probe set: %zu of %zu; features %s\n", same, n_probe,
                  ours["n_features"] == ref["n_features"] ? "equal" : "DIFFER");
    }
  }
  std::remove(tmpl);
  return 0;
}
