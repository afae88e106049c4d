#pragma once
// The launcher's namespace as the service sees it. The launcher owns it; the
// service reads the overload flag, reads and sets the pending-restart flag and
// looks up its own process id for a debug line.
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tessel {

class Nsg {
 public:
  virtual ~Nsg() = default;
  virtual bool restart_signal() = 0;
  virtual void set_restart_signal(bool value) = 0;
  virtual bool overload() = 0;
  virtual void set_overload(bool value) = 0;
  // Python's str() of nsg.pids[conf_file], or "None" when there is no entry.
  virtual std::string pid_text(const std::string& conf_file) = 0;
};

// In-process implementation for tests and native tools.
class LocalNsg : public Nsg {
 public:
  bool restart_signal() override { return restart_.load(); }
  void set_restart_signal(bool value) override { restart_.store(value); }
  bool overload() override { return overload_.load(); }
  void set_overload(bool value) override { overload_.store(value); }
  std::string pid_text(const std::string& conf_file) override {
    std::lock_guard lk(mu_);
    auto it = pids_.find(conf_file);
    return it == pids_.end() ? "None" : std::to_string(it->second);
  }
  void set_pid(const std::string& conf_file, long pid) {
    std::lock_guard lk(mu_);
    pids_[conf_file] = pid;
  }

 private:
  std::atomic<bool> restart_{false};
  std::atomic<bool> overload_{false};
  std::mutex mu_;
  std::map<std::string, long> pids_;
};

}  // namespace tessel
