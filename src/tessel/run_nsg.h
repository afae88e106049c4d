#pragma once
// The launcher's namespace as the workers of one run see it. While the run
// lasts every access goes to the launcher's object; once the run has ended,
// the workers that outlive it see a pending restart and reach the launcher's
// object no more (it may be gone).
#include <shared_mutex>
#include <string>

#include "shared/runtime/nsg.h"

namespace tessel::svc {

class RunNsg : public Nsg {
 public:
  explicit RunNsg(Nsg& target) : target_(&target) {}

  // Ends the run; waits for accesses in progress.
  void end() {
    std::unique_lock lk(mu_);
    target_ = nullptr;
  }

  bool restart_signal() override {
    std::shared_lock lk(mu_);
    return target_ ? target_->restart_signal() : true;
  }
  void set_restart_signal(bool value) override {
    std::shared_lock lk(mu_);
    if (target_) target_->set_restart_signal(value);
  }
  bool overload() override {
    std::shared_lock lk(mu_);
    return target_ ? target_->overload() : false;
  }
  void set_overload(bool value) override {
    std::shared_lock lk(mu_);
    if (target_) target_->set_overload(value);
  }
  std::string pid_text(const std::string& conf_file) override {
    std::shared_lock lk(mu_);
    return target_ ? target_->pid_text(conf_file) : "None";
  }

 private:
  std::shared_mutex mu_;
  Nsg* target_;
};

}  // namespace tessel::svc
