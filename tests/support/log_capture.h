#pragma once
// Helpers of the support-layer tests: a logging pair whose events can be
// read back, and a scoped environment variable.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::testing {

struct LogCapture {
  std::shared_ptr<EventQueue> q_ec_ptr = std::make_shared<EventQueue>();
  std::shared_ptr<Logger> log_ptr = std::make_shared<Logger>("core-test");
  EventQueue& q_ec = *q_ec_ptr;
  Logger& log = *log_ptr;

  LogSink sink(bool debug = false) const { return LogSink{q_ec_ptr, log_ptr, debug}; }

  // Events put since the last call, as "level/category: message".
  std::vector<std::string> take() {
    std::vector<std::string> out;
    while (auto ev = q_ec.try_get())
      out.push_back((*ev)["level"].get<std::string>() + "/" + (*ev)["category"].get<std::string>() + ": " +
                    (*ev)["message"].get<std::string>());
    return out;
  }
};

// A logging pair over an event queue the test owns (the sink does not own
// it: the queue must outlive the sink's users).
inline LogSink sink_over(EventQueue& q_ec, bool debug = false) {
  return LogSink{std::shared_ptr<EventQueue>(std::shared_ptr<void>(), &q_ec), std::make_shared<Logger>("test"), debug};
}

// Sets (or, with nullopt, removes) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& v) {
    if (v) {
      ::setenv(name_, v->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace tessel::testing
