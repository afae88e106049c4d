#include "shared/runtime/child.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <exception>
#include <future>
#include <thread>

namespace tessel {

std::int64_t unix_now() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

struct Child::State {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  bool joined = false;
  int exitcode = -1;
  std::thread thread;
};

Child::~Child() {
  if (!state_) return;
  std::lock_guard lk(state_->mu);
  if (state_->thread.joinable()) state_->thread.detach();
}

std::shared_ptr<Child> Child::start(std::string name, std::function<void()> body) {
  std::shared_ptr<Child> child(new Child());
  child->name_ = std::move(name);
  child->start_time_ = unix_now();
  child->state_ = std::make_shared<State>();
  std::promise<long> tid;
  auto tid_ready = tid.get_future();
  auto state = child->state_;
  auto label = child->name_;
  std::lock_guard lk(state->mu);
  state->thread = std::thread([state, label, tid = std::move(tid), body = std::move(body)]() mutable {
    tid.set_value(static_cast<long>(::syscall(SYS_gettid)));
    int code = 0;
    try {
      body();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "Child %s ended by an error: %s\n", label.c_str(), e.what());
      code = 1;
    } catch (...) {
      std::fprintf(stderr, "Child %s ended by an unknown error\n", label.c_str());
      code = 1;
    }
    // Release what the body captured before telling the owner it is done.
    body = nullptr;
    {
      std::lock_guard g(state->mu);
      state->done = true;
      state->exitcode = code;
    }
    state->cv.notify_all();
  });
  child->pid_ = tid_ready.get();
  return child;
}

bool Child::done() const {
  std::lock_guard lk(state_->mu);
  return state_->done;
}

int Child::exitcode() const {
  std::lock_guard lk(state_->mu);
  return state_->exitcode;
}

bool Child::joined() const {
  std::lock_guard lk(state_->mu);
  return state_->joined;
}

bool Child::join(std::chrono::milliseconds timeout) {
  std::unique_lock lk(state_->mu);
  if (state_->joined) return true;
  if (!state_->cv.wait_for(lk, timeout, [&] { return state_->done; })) return false;
  std::thread t = std::move(state_->thread);
  state_->joined = true;
  lk.unlock();
  if (t.joinable()) t.join();
  return true;
}

void ChildList::add(ChildPtr child) {
  std::lock_guard lk(mu_);
  children_.push_back(std::move(child));
}

std::vector<ChildPtr> ChildList::join_finished(std::chrono::milliseconds timeout) {
  std::vector<ChildPtr> candidates;
  {
    std::lock_guard lk(mu_);
    for (auto& c : children_)
      if (c->done()) candidates.push_back(c);
  }
  std::vector<ChildPtr> joined;
  for (auto& c : candidates)
    if (c->join(timeout)) joined.push_back(c);
  std::lock_guard lk(mu_);
  std::erase_if(children_, [](const ChildPtr& c) { return c->joined(); });
  return joined;
}

std::vector<ChildPtr> ChildList::items() const {
  std::lock_guard lk(mu_);
  return children_;
}

std::size_t ChildList::size() const {
  std::lock_guard lk(mu_);
  return children_.size();
}

}  // namespace tessel
