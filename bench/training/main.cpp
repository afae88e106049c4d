// One host's end-of-period model stage with the model engine and with
// scikit-learn, side by side: the dataset file is loaded, the seven zones
// are built against the attack list, the two model files are written and
// packed into the upload archive. Prints wall time and peak memory of each
// side and the target lines.
//
//   bench_training [--data DIR] [--jobs N] [--no-reference]
//
// Data: the 36,000 CSIC normal requests as a host's collected zone values
// (url, args, cookie, ua, referer, other_headers, body), and every attack
// payload as the dataset service's attack dataset; no white-list values.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/data/hosts.h"
#include "orvik/dataset/dataset_file.h"
#include "orvik/training/build.h"
#include "orvik/training/model_exchange.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/json.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/reference_data.h"
#include "support/temp_dir.h"

using namespace tessel;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> split(const std::string& s, const std::string& sep) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (true) {
    const std::size_t end = s.find(sep, pos);
    out.push_back(s.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) break;
    pos = end + sep.size();
  }
  return out;
}

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? sep : "") + parts[i];
  return out;
}

// The zone values the classification path would have staged for each request.
orvik::DatasetData host_dataset(const std::vector<tessel::testing::CsicRequest>& requests) {
  orvik::DatasetData d;
  for (const auto& r : requests) {
    const std::size_t q = r.target.find('?');
    std::string path = r.target.substr(0, q);
    if (const std::size_t scheme = path.find("://"); scheme != std::string::npos)
      path = path.substr(std::min(path.size(), path.find('/', scheme + 3)));
    d["url"].push_back(path);
    d["args"].push_back(q == std::string::npos ? "" : join(split(r.target.substr(q + 1), "&"), "\r\n"));
    d["body"].push_back(r.body.empty() ? "" : join(split(r.body, "&"), "\r\n"));
    std::string ua, cookie, referer;
    std::vector<std::string> other;
    for (const auto& h : r.headers) {
      const std::size_t colon = h.find(':');
      const std::string name = h.substr(0, colon);
      const std::string value = colon == std::string::npos ? "" : h.substr(h.find_first_not_of(' ', colon + 1));
      if (name == "User-Agent")
        ua = value;
      else if (name == "Cookie")
        cookie = join(split(value, "; "), "\r\n");
      else if (name == "Referer")
        referer = value;
      else
        other.push_back(h);
    }
    d["ua"].push_back(ua);
    d["cookie"].push_back(cookie);
    d["referer"].push_back(referer);
    d["other_headers"].push_back(join(other, "\r\n"));
  }
  return d;
}

long vm_hwm_kb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return 0;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Our model stage in a child process, so that its peak memory is its own.
Json measure_ours(const std::string& work, const std::string& attacks_json, int jobs) {
  int fd[2];
  if (pipe(fd) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    Json out;
    try {
      tessel::testing::LoopbackHttpServer srv;
      srv.route("GET", "/ml/dataset/get_bl_uri", tessel::testing::CannedResponse{200, attacks_json});
      srv.route("GET", "/ml/dataset/get_wl_uri", tessel::testing::CannedResponse{200, base64_encode("{}")});
      srv.route("POST", "/set_models_uri", tessel::testing::CannedResponse{202, "{}"});
      tessel::testing::LogCapture lc;
      const std::string tmp = work + "/ours";
      std::filesystem::create_directories(tmp);
      const auto t0 = Clock::now();
      orvik::DatasetData data = orvik::dataset_load(work + "/host.d");
      const auto t1 = Clock::now();
      orvik::BuildOptions opts;
      opts.n_jobs = jobs;
      orvik::tessel_models_build(tmp, 800000, "shop.example", "shop.example", std::move(data), "", "",
                                 {srv.url("/ml/dataset/get_bl_uri"), srv.url("/ml/dataset/get_wl_uri")},
                                 core::ApiContext{}, tmp + "/mt.json", lc.sink(), opts);
      const auto t2 = Clock::now();
      const auto g = core::host_model_files(tmp, "shop.example");
      orvik::tessel_models_send(tmp + "/shop.example.zip", g, "shop.example", "shop.example",
                                srv.url("/set_models_uri"), core::ApiContext{}, lc.sink());
      const auto t3 = Clock::now();
      out["load_s"] = seconds(t0, t1);
      out["build_s"] = seconds(t1, t2);
      out["archive_s"] = seconds(t2, t3);
      out["wall_s"] = seconds(t0, t3);
      out["peak_kb"] = vm_hwm_kb();
      out["files"] = g.size();
      std::uintmax_t bytes = 0;
      for (const auto& f : g) bytes += std::filesystem::file_size(f);
      out["model_bytes"] = bytes;
    } catch (const std::exception& e) {
      out["error"] = e.what();
    }
    const std::string text = out.dump();
    if (write(fd[1], text.data(), text.size()) < 0) _exit(1);
    _exit(0);
  }
  close(fd[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fd[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  close(fd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (text.empty()) throw std::runtime_error("our side failed");
  return Json::parse(text);
}

Json run_reference(const std::string& work) {
  const std::string cmd =
      "/usr/bin/python3 '" + std::string(TESSEL_BENCH_TRAINING_DIR) + "/reference.py' '" + work + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  std::string text;
  char buf[4096];
  for (std::size_t n; p && (n = fread(buf, 1, sizeof buf, p.get())) > 0;) text.append(buf, n);
  if (text.empty()) throw std::runtime_error("the scikit-learn side failed");
  return Json::parse(text);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int jobs = -1;
  bool reference = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--data" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--jobs" && i + 1 < argc)
      jobs = std::stoi(argv[++i]);
    else if (a == "--no-reference")
      reference = false;
    else {
      std::cerr << "usage: bench_training [--data DIR] [--jobs N] [--no-reference]\n";
      return 2;
    }
  }
  if (dir.empty()) dir = tessel::testing::reference_data_dir();
  if (dir.empty()) {
    std::cerr << "bench_training: the shared reference data is missing (--data DIR)\n";
    return 2;
  }
  tessel::testing::TempDir work;
  std::size_t n_requests = 0, n_attacks = 0;
  {
    const auto requests = tessel::testing::csic_requests(dir);
    n_requests = requests.size();
    const orvik::DatasetData data = host_dataset(requests);
    orvik::dataset_save(data, work.file("host.d"));
    Json j = Json::object();
    for (const auto& [zone, values] : data) j[zone] = values;
    std::ofstream(work.file("host.json")) << j.dump();
    const auto attacks = tessel::testing::attack_values(dir);
    n_attacks = attacks.size();
    std::ofstream(work.file("attacks.json")) << Json{{"attacks", attacks}}.dump();
  }
  const std::string attacks_json = tessel::testing::read_file(work.file("attacks.json"));
  std::cout << "bench_training: " << n_requests << " requests, " << n_attacks << " attack values, 7 zones\n";

  const Json ours = measure_ours(work.str(), attacks_json, jobs);
  if (ours.contains("error")) {
    std::cerr << "bench_training: " << ours["error"].get<std::string>() << "\n";
    return 1;
  }
  Json ref;
  if (reference) ref = run_reference(work.str());
  auto figure = [](const Json& j, const char* k) { return j.is_object() && j.contains(k) ? j[k].get<double>() : 0.0; };
  std::printf("%-24s %12s %12s\n", "", "ours", "scikit-learn");
  for (const char* k : {"load_s", "build_s", "archive_s", "wall_s"})
    std::printf("%-24s %12.2f %12.2f\n", k, figure(ours, k), figure(ref, k));
  std::printf("%-24s %12.0f %12.0f\n", "peak RSS (MiB)", figure(ours, "peak_kb") / 1024, figure(ref, "peak_kb") / 1024);
  std::printf("%-24s %12.0f %12.0f\n", "model files (KiB)", figure(ours, "model_bytes") / 1024,
              figure(ref, "model_bytes") / 1024);
  if (!reference) return 0;
  const double speedup = figure(ref, "wall_s") / figure(ours, "wall_s");
  const double memory = figure(ours, "peak_kb") / figure(ref, "peak_kb");
  std::printf("target: training_wall_speedup = %.2f (goal >= 5): %s\n", speedup, speedup >= 5 ? "met" : "missed");
  std::printf("target: training_peak_memory_ratio = %.2f (goal < 1): %s\n", memory, memory < 1 ? "met" : "missed");
  return 0;
}
