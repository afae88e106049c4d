#pragma once
// A "child process" of the service: a thread with a name, a start time, a
// done flag and a printable id. Owners keep a ChildList and join the finished
// ones during housekeeping. A child is never stopped from outside; a handle
// dropped while the child runs lets it run on to its end.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tessel {

class Child {
 public:
  // Starts `body` on a new thread. An exception escaping `body` is caught,
  // written to standard error and recorded as exit code 1.
  static std::shared_ptr<Child> start(std::string name, std::function<void()> body);

  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  const std::string& name() const { return name_; }
  // UNIX time of the start, whole seconds.
  std::int64_t start_time() const { return start_time_; }
  // Kernel thread id, printed where a process id was printed.
  long pid() const { return pid_; }
  bool done() const;
  bool is_alive() const { return !done(); }
  // 0 after a normal end, 1 after an uncaught exception, -1 while running.
  int exitcode() const;
  // Waits up to `timeout` for the end; true when the child has ended and its
  // thread was joined.
  bool join(std::chrono::milliseconds timeout);
  bool joined() const;

 private:
  struct State;
  Child() = default;

  std::string name_;
  std::int64_t start_time_ = 0;
  long pid_ = 0;
  std::shared_ptr<State> state_;
};

using ChildPtr = std::shared_ptr<Child>;

// A process owner's list of children.
class ChildList {
 public:
  void add(ChildPtr child);
  // Joins every finished child (each with the given wait) and drops it from
  // the list; returns the children that were joined.
  std::vector<ChildPtr> join_finished(std::chrono::milliseconds timeout = std::chrono::seconds(1));
  std::vector<ChildPtr> items() const;
  std::size_t size() const;

 private:
  mutable std::mutex mu_;
  std::vector<ChildPtr> children_;
};

std::int64_t unix_now();

}  // namespace tessel
