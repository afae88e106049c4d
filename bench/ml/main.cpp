// Fits and predicts the same zones with the model engine and with
// scikit-learn, side by side, and prints times, ratios (on all cores and on
// one core), memory and model-file sizes, then one line per target.
//
//   bench_ml [--zones args,other_headers] [--data DIR] [--no-reference]
//            [--single N]   (values classified one at a time, on both sides)
//            [--jobs N]     (threads of our all-core runs; default all cores)
//            [--repeat N]   (runs of each side, alternating; each figure is
//                            the smallest seen, which damps a busy machine)
//
// Data: every attack payload (label 1) against normal values derived from the
// CSIC requests (label 0): "args" takes each name=value pair of the query
// strings and form bodies, "other_headers" each header line other than
// User-Agent and Cookie. The probe values are distinct values held aside:
// no sample with one of them is trained on, so both forests classify values
// they have not seen; labels and probabilities are compared.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ml/forest.h"
#include "ml/model_io.h"
#include "ml/parallel.h"
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
  std::vector<std::int64_t> probe_y;  // the label of the value's first sample
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
      std::string q = r.method == "GET"
                          ? (r.target.find('?') == std::string::npos ? "" : r.target.substr(r.target.find('?') + 1))
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
  // Hold aside every tenth distinct value (up to 10,000), spread evenly over
  // the samples, with every sample that has one of them.
  std::unordered_map<std::string_view, std::size_t> first;  // value -> its first sample
  std::vector<std::size_t> distinct;
  for (std::size_t i = 0; i < z.docs.size(); ++i)
    if (first.try_emplace(z.docs[i], i).second) distinct.push_back(i);
  std::vector<char> aside(z.docs.size(), 0);
  const std::size_t step = std::max<std::size_t>(10, distinct.size() / 10000);
  for (std::size_t d = step / 2; d < distinct.size() && z.probe.size() < 10000; d += step) {
    const std::size_t i = distinct[d];
    z.probe.push_back(z.docs[i]);
    z.probe_y.push_back(z.y[i]);
    aside[i] = 1;
  }
  for (std::size_t i = 0; i < z.docs.size(); ++i)
    if (!aside[i] && aside[first.at(z.docs[i])]) aside[i] = 1;
  first.clear();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < z.docs.size(); ++i) {
    if (aside[i]) continue;
    if (kept != i) {
      z.docs[kept] = std::move(z.docs[i]);
      z.y[kept] = z.y[i];
    }
    ++kept;
  }
  z.docs.resize(kept);
  z.y.resize(kept);
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

// The smallest time of n calls of fn.
template <class Fn>
double best_of(int n, Fn&& fn) {
  double best = 1e300;
  for (int i = 0; i < n; ++i) {
    auto t = Clock::now();
    fn();
    best = std::min(best, seconds(t, Clock::now()));
  }
  return best;
}

int g_jobs = -1;
std::size_t g_single = 300;

// Our side of one zone: the all-core fit as the service runs it (memory
// measured around it), then the same on one core.
Json measure_ours(const std::string& name, const Zone& z) {
  Json out;
  reset_peak();
  out["rss_before_kb"] = vm_hwm_kb();
  auto t0 = Clock::now();
  TfidfVectorizer vect;
  CsrMatrix x = vect.fit_transform(z.docs, g_jobs);
  auto t1 = Clock::now();
  RandomForestClassifier rf;
  rf.fit(x, z.y, g_jobs);
  auto t2 = Clock::now();
  out["peak_kb"] = vm_hwm_kb();
  out["vectorise_s"] = seconds(t0, t1);
  out["fit_s"] = seconds(t1, t2);
  out["n_features"] = x.n_cols;
  out["nnz"] = x.nnz();

  std::vector<std::int64_t> pred;
  out["batch_s_per_value"] = best_of(3, [&] { rf.predict(vect.transform(z.probe, g_jobs), pred, g_jobs); }) /
                             static_cast<double>(z.probe.size());
  out["batch_pred"] = pack_bits(pred);
  {
    // Probability of the last class: a forest grown otherwise differs here
    // even where its labels agree.
    const std::vector<double> proba = rf.predict_proba(vect.transform(z.probe, 1), 1);
    const std::size_t k = rf.classes().size();
    std::vector<double> last;
    for (std::size_t i = 0; i < z.probe.size(); ++i) last.push_back(proba[i * k + k - 1]);
    out["batch_proba"] = last;
  }
  out["batch_1_s_per_value"] =
      best_of(3, [&] { rf.predict(vect.transform(z.probe, 1), pred, 1); }) / static_cast<double>(z.probe.size());
  {
    const std::size_t n = std::min(g_single, z.probe.size());
    CsrMatrix row;
    std::vector<std::int64_t> one;
    out["single_s_per_value"] = best_of(5,
                                        [&] {
                                          for (std::size_t i = 0; i < n; ++i) {
                                            std::string_view sv = z.probe[i];
                                            vect.transform(std::span<const std::string_view>(&sv, 1), row);
                                            rf.predict(row, one, 1);
                                          }
                                        }) /
                                static_cast<double>(n);
  }
  out["vect_file_bytes"] = to_bytes(VectorizerMap{{name, vect}}).size();
  out["rf_file_bytes"] = to_bytes(ForestMap{{name, rf}}).size();

  CsrMatrix().indices.swap(x.indices);
  {
    TfidfVectorizer vect1;
    auto t = Clock::now();
    CsrMatrix x1 = vect1.fit_transform(z.docs, 1);
    out["vectorise_1_s"] = seconds(t, Clock::now());
    RandomForestClassifier rf1;
    t = Clock::now();
    rf1.fit(x1, z.y, 1);
    out["fit_1_s"] = seconds(t, Clock::now());
    // The trees do not depend on the number of threads.
    out["one_core_same"] = rf1.predict(vect1.transform(z.probe, 1)) == rf.predict(vect.transform(z.probe, 1));
  }
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

// Merges a run into the figures so far: each number keeps its smallest
// value, each flag holds when it held in every run.
void keep_min(Json& acc, const Json& run) {
  if (acc.is_null() || acc.empty()) {
    acc = run;
    return;
  }
  for (auto it = run.begin(); it != run.end(); ++it) {
    if (!acc.contains(it.key())) continue;
    if (it.value().is_number())
      acc[it.key()] = std::min(acc[it.key()].get<double>(), it.value().get<double>());
    else if (it.value().is_boolean())
      acc[it.key()] = acc[it.key()].get<bool>() && it.value().get<bool>();
  }
}

int bit_at(const std::string& hex, std::size_t i) {
  return std::stoi(hex.substr(i / 8 * 2, 2), nullptr, 16) >> (7 - i % 8) & 1;
}

std::size_t agreement(const std::string& a, const std::string& b, std::size_t n) {
  std::size_t same = 0;
  for (std::size_t i = 0; i < n; ++i) same += bit_at(a, i) == bit_at(b, i);
  return same;
}

double accuracy(const std::string& pred, const std::vector<std::int64_t>& y) {
  std::size_t same = 0;
  for (std::size_t i = 0; i < y.size(); ++i) same += bit_at(pred, i) == y[i];
  return y.empty() ? 0.0 : static_cast<double>(same) / static_cast<double>(y.size());
}

double ratio(double ours, double ref) { return ours > 0 && ref > 0 ? ref / ours : 0.0; }

void row(const char* what, double ours, double ref, const char* unit) {
  std::printf("  %-40s %14.6g %14.6g %-4s", what, ours, ref, unit);
  if (ref > 0 && ours > 0) std::printf("  ratio %.1fx", ref / ours);
  std::printf("\n");
}

struct Target {
  std::string name;
  double value, goal;
  bool at_most = false;  // the goal is an upper bound
};

}  // namespace

int main(int argc, char** argv) {
  std::string zones_arg = "args,other_headers", dir = tessel::testing::reference_data_dir();
  bool reference = true;
  int n_single = 300;
  int repeat = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--zones" && i + 1 < argc)
      zones_arg = argv[++i];
    else if (a == "--data" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--no-reference")
      reference = false;
    else if (a == "--single" && i + 1 < argc)
      n_single = std::max(1, std::stoi(argv[++i]));
    else if (a == "--jobs" && i + 1 < argc)
      g_jobs = std::stoi(argv[++i]);
    else if (a == "--repeat" && i + 1 < argc)
      repeat = std::max(1, std::stoi(argv[++i]));
    else {
      std::fprintf(stderr,
                   "usage: %s [--zones a,b] [--data DIR] [--no-reference] [--single N] [--jobs N] [--repeat N]\n",
                   argv[0]);
      return 2;
    }
  }
  g_single = static_cast<std::size_t>(n_single);
  if (dir.empty()) {
    std::fprintf(stderr, "reference data not found: pass --data DIR or set TESSEL_DATA_DIR\n");
    return 2;
  }
  // The data file the scikit-learn side reads.
  struct Sizes {
    std::size_t samples, distinct_aside;
    std::vector<std::int64_t> probe_y;
  };
  std::map<std::string, Sizes> sizes;
  char tmpl[] = "/tmp/bench_ml_XXXXXX";
  {
    auto attacks = tessel::testing::attack_values(dir);
    auto requests = tessel::testing::csic_requests(dir);
    Json all;
    for (const std::string& name : split(zones_arg, ',')) {
      Zone z = build_zone(name, attacks, requests);
      sizes[name] = {z.docs.size(), z.probe.size(), z.probe_y};
      all[name] = {{"docs", z.docs}, {"y", z.y}, {"probe", z.probe}};
    }
    int fd = mkstemp(tmpl);
    if (fd < 0) return 1;
    close(fd);
    std::ofstream(tmpl) << all.dump();
  }
  malloc_trim(0);

  std::printf("model engine vs scikit-learn 1.2.1, %u cores, best of %d run(s)\n", std::thread::hardware_concurrency(),
              repeat);
  std::printf("all cores: ours with %d thread(s), scikit-learn with n_jobs=-1 (as the recipe); one core: both with 1\n",
              detail::resolve_jobs(g_jobs));
  std::vector<Target> targets;
  for (const std::string& name : split(zones_arg, ',')) {
    Json ours, ref = Json::object();
    for (int rep = 0; rep < repeat; ++rep) {
      keep_min(ours, in_child(name, dir));
      if (reference) keep_min(ref, run_reference(tmpl, name, n_single));
    }
    auto get = [](const Json& j, const char* k) { return j.contains(k) ? j[k].get<double>() : 0.0; };
    const Sizes& zs = sizes[name];
    const std::size_t n_probe = zs.distinct_aside;
    const std::size_t n_one = std::min<std::size_t>(n_single, n_probe);
    std::printf("\nzone %s: %zu training samples x %lld features, %lld non-zeros; %zu distinct values held aside\n",
                name.c_str(), zs.samples, ours["n_features"].get<long long>(), ours["nnz"].get<long long>(), n_probe);
    std::printf("  %-40s %14s %14s %-4s\n", "", "ours", "scikit-learn", "");
    const double fit_all = get(ours, "vectorise_s") + get(ours, "fit_s"),
                 fit_all_ref = get(ref, "vectorise_s") + get(ref, "fit_s");
    row("vectorise (fit_transform), all cores", get(ours, "vectorise_s"), get(ref, "vectorise_s"), "s");
    row("vectorise (fit_transform), one core", get(ours, "vectorise_1_s"), get(ref, "vectorise_1_s"), "s");
    row("fit forest, all cores", get(ours, "fit_s"), get(ref, "fit_s"), "s");
    row("fit forest, one core", get(ours, "fit_1_s"), get(ref, "fit_1_s"), "s");
    row("vectorise + fit, all cores", fit_all, fit_all_ref, "s");
    row("vectorise + fit, one core", get(ours, "vectorise_1_s") + get(ours, "fit_1_s"),
        get(ref, "vectorise_1_s") + get(ref, "fit_1_s"), "s");
    row("transform+predict batch/value, all cores", get(ours, "batch_s_per_value") * 1e6,
        get(ref, "batch_s_per_value") * 1e6, "us");
    row("transform+predict batch/value, one core", get(ours, "batch_1_s_per_value") * 1e6,
        get(ref, "batch_1_s_per_value") * 1e6, "us");
    std::printf("  one at a time, the first %zu values held aside:\n", n_one);
    row("  per value, scikit-learn n_jobs=-1", get(ours, "single_s_per_value") * 1e6,
        get(ref, "single_s_per_value") * 1e6, "us");
    row("  per value, scikit-learn n_jobs=1", get(ours, "single_s_per_value") * 1e6,
        get(ref, "single_1_s_per_value") * 1e6, "us");
    const double growth = get(ours, "peak_kb") - get(ours, "rss_before_kb"),
                 growth_ref = get(ref, "peak_kb") - get(ref, "rss_before_kb");
    row("RSS before training", get(ours, "rss_before_kb") / 1024, get(ref, "rss_before_kb") / 1024, "MiB");
    row("peak RSS while training", get(ours, "peak_kb") / 1024, get(ref, "peak_kb") / 1024, "MiB");
    row("memory growth while training", growth / 1024, growth_ref / 1024, "MiB");
    row("vectoriser file / pickle", get(ours, "vect_file_bytes"), get(ref, "vect_file_bytes"), "B");
    row("forest file / pickle", get(ours, "rf_file_bytes"), get(ref, "rf_file_bytes"), "B");
    std::printf("  our one-core forest predicts as the all-core one: %s\n",
                ours.value("one_core_same", false) ? "yes" : "NO");
    std::printf("  accuracy on the values held aside: ours %.4f", accuracy(ours["batch_pred"], zs.probe_y));
    if (reference) {
      std::printf(", scikit-learn %.4f\n", accuracy(ref["batch_pred"], zs.probe_y));
      const std::size_t same = agreement(ours["batch_pred"], ref["batch_pred"], n_probe);
      std::printf("  predictions equal on the values held aside: %zu of %zu; features %s\n", same, n_probe,
                  ours["n_features"] == ref["n_features"] ? "equal" : "DIFFER");
      // scikit-learn sums the trees' probabilities in the order its threads
      // end, so equal forests differ by rounding at most.
      std::size_t proba_differ = 0;
      const Json& pa = ours["batch_proba"];
      const Json& pb = ref["batch_proba"];
      for (std::size_t i = 0; i < n_probe; ++i)
        if (i >= pa.size() || i >= pb.size() || std::abs(pa[i].get<double>() - pb[i].get<double>()) > 1e-9)
          ++proba_differ;
      std::printf("  probabilities equal (within 1e-9) on the values held aside: %zu of %zu\n", n_probe - proba_differ,
                  n_probe);
      const bool features_equal = ours["n_features"] == ref["n_features"];
      targets.push_back(
          {name + "_predictions_differing", static_cast<double>(features_equal ? n_probe - same : n_probe), 0.0, true});
      targets.push_back(
          {name + "_probabilities_differing", static_cast<double>(features_equal ? proba_differ : n_probe), 0.0, true});
      targets.push_back({name + "_vectorise_fit_vs_sklearn", ratio(fit_all, fit_all_ref), 5.0});
      targets.push_back({name + "_training_memory_vs_sklearn", ratio(growth, growth_ref), 1.0});
      targets.push_back({name + "_batch_predict_vs_sklearn",
                         ratio(get(ours, "batch_s_per_value"), get(ref, "batch_s_per_value")), 20.0});
      targets.push_back({name + "_one_at_a_time_vs_sklearn",
                         ratio(get(ours, "single_s_per_value"), get(ref, "single_s_per_value")), 1000.0});
    } else {
      std::printf("\n");
    }
  }
  std::remove(tmpl);
  std::printf("\n");
  for (const Target& t : targets)
    std::printf("target: %s = %.2f (goal %s %.2f): %s\n", t.name.c_str(), t.value, t.at_most ? "<=" : ">=", t.goal,
                (t.at_most ? t.value <= t.goal : t.value >= t.goal) ? "met" : "missed");
  return 0;
}
