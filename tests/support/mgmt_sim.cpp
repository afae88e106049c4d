#include "support/mgmt_sim.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "core/net/http.h"

extern char** environ;

namespace tessel::testing {

MgmtSim::MgmtSim(const std::vector<std::string>& extra_args) {
  const std::string bin = std::string(TESSEL_BINARY_DIR) + "/bin/tessel-mgmt-sim";
  if (!std::filesystem::exists(bin)) throw std::runtime_error("the simulator is not built: " + bin);
  std::filesystem::create_directories(dir_.path() / "answers");
  const std::string port_file = dir_.file("port"), record = dir_.file("requests.jsonl"), answers = dir_.file("answers");
  std::vector<std::string> args = {bin,        "--port", "0",         "--port-file", port_file,
                                   "--record", record,   "--answers", answers};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, bin.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start the simulator");
  pid_ = pid;
  for (int i = 0; i < 1000 && port_ == 0; ++i) {
    std::ifstream in(port_file);
    if (!(in >> port_)) port_ = 0;
    if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (port_ == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("the simulator did not start");
  }
}

MgmtSim::~MgmtSim() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string MgmtSim::api_base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/vx-api/"; }

std::string MgmtSim::api_url(const std::string& endpoint) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/vx-api" + endpoint;
}

std::string MgmtSim::dataset_base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/vx"; }

void MgmtSim::set_answer(const std::string& name, const Json& doc) {
  const auto path = dir_.path() / "answers" / (name + ".json");
  std::filesystem::create_directories(path.parent_path());
  const auto tmp = path.string() + ".tmp";
  { std::ofstream(tmp) << doc.dump(); }
  std::filesystem::rename(tmp, path);
}

std::vector<Json> MgmtSim::requests() const {
  std::vector<Json> out;
  std::ifstream in(dir_.file("requests.jsonl"));
  // A line without its newline is still being written by the simulator.
  for (std::string line; std::getline(in, line) && !in.eof();)
    if (!line.empty()) out.push_back(Json::parse(line));
  return out;
}

std::vector<Json> MgmtSim::requests_to(const std::string& path) const {
  std::vector<Json> out;
  for (auto& r : requests())
    if (r["path"] == path) out.push_back(std::move(r));
  return out;
}

std::string MgmtSim::get(const std::string& path) const {
  const auto r = core::init_session().get("http://127.0.0.1:" + std::to_string(port_) + path);
  if (r.status_code != 200) throw std::runtime_error("GET " + path + ": " + r.str());
  return r.content;
}

}  // namespace tessel::testing
