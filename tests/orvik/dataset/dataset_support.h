#pragma once
// Helpers of the training data store tests: request rows, a lock map,
// pauses that return at once and are counted, and failing dataset opens.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <string>

#include "orvik/dataset/dataset_file.h"
#include "orvik/dataset/staging.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/request.h"

namespace tessel::testing {

inline RequestRecord row(const std::string& url, const std::string& args = "", const std::string& body = "") {
  RequestRecord r;
  r.id = "0123456789abcdef0123456789abcdef";
  r.vhost = "a.com";
  r.url = url;
  r.args = args;
  r.body = body;
  r.method = "GET";
  return r;
}

inline LockMap locks_for(const std::string& host) { return LockMap{{host, std::make_shared<ProcessLock>()}}; }

// Replaces the store's pauses for the life of the value; `on_pause` runs at
// each one.
class InstantPauses {
 public:
  explicit InstantPauses(std::function<void(std::chrono::milliseconds)> on_pause = {}) {
    orvik::detail::set_pause_for_testing([this, on_pause](std::chrono::milliseconds d) {
      ++count;
      last = d;
      if (on_pause) on_pause(d);
    });
    orvik::detail::set_busy_timeout_for_testing(std::chrono::milliseconds(50));
  }
  ~InstantPauses() {
    orvik::detail::set_pause_for_testing({});
    orvik::detail::set_busy_timeout_for_testing(std::chrono::milliseconds(5000));
  }
  std::atomic<int> count{0};
  std::chrono::milliseconds last{0};
};

// A second connection holding the file's write lock until released.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
  }
  void release() {
    if (db_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
  }
  ~FileLock() { release(); }

 private:
  sqlite3* db_ = nullptr;
};

// Fails the first `times` opens of dataset files for reading (`write`
// false) or writing with `err`, for the life of the value.
class OpenFaults {
 public:
  OpenFaults(bool write, int err, int times) {
    orvik::detail::set_open_fault_for_testing([this, write, err, times](const std::string&, bool w) {
      if (w != write || injected >= times) return 0;
      ++injected;
      return err;
    });
  }
  ~OpenFaults() { orvik::detail::set_open_fault_for_testing({}); }
  OpenFaults(const OpenFaults&) = delete;
  OpenFaults& operator=(const OpenFaults&) = delete;
  std::atomic<int> injected{0};
};

}  // namespace tessel::testing
