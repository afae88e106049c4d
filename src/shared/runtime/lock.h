#pragma once
// A lock shared by the service's workers. It is not re-entrant and may be
// released by another thread than the one that took it, so it is a binary
// semaphore rather than a mutex.
#include <chrono>
#include <map>
#include <memory>
#include <semaphore>
#include <string>

namespace tessel {

class ProcessLock {
 public:
  void acquire() { sem_.acquire(); }
  bool try_acquire_for(std::chrono::milliseconds timeout) { return sem_.try_acquire_for(timeout); }
  void release() { sem_.release(); }
  // Lockable names, so std::lock_guard / std::unique_lock work.
  void lock() { acquire(); }
  void unlock() { release(); }
  bool try_lock() { return sem_.try_acquire(); }

 private:
  std::binary_semaphore sem_{1};
};

using LockPtr = std::shared_ptr<ProcessLock>;
// Protected host, spelled as listed, to the lock of its staging file. Copies
// of the map share the locks.
using LockMap = std::map<std::string, LockPtr>;

}  // namespace tessel
