#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/blocking_queue.h"
#include "shared/runtime/child.h"
#include "shared/runtime/lock.h"
#include "shared/runtime/shared_namespace.h"

using namespace tessel;
using namespace std::chrono_literals;

TEST(BlockingQueue, ManyProducersAndConsumersLoseNothing) {
  BlockingQueue<int> q;
  constexpr int kProducers = 4, kPerProducer = 5000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) q.put(p * kPerProducer + i);
    });
  std::mutex mu;
  std::multiset<int> seen;
  std::vector<std::thread> consumers;
  std::atomic<int> taken{0};
  for (int c = 0; c < 3; ++c)
    consumers.emplace_back([&] {
      while (taken.load() < kProducers * kPerProducer) {
        auto v = q.get(10ms);
        if (!v) continue;
        ++taken;
        std::lock_guard lk(mu);
        seen.insert(*v);
      }
    });
  for (auto& t : producers) t.join();
  for (auto& t : consumers) t.join();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kProducers * kPerProducer));
  for (int i = 0; i < kProducers * kPerProducer; ++i) EXPECT_EQ(seen.count(i), 1u) << i;
  EXPECT_EQ(q.qsize(), 0u);
}

TEST(BlockingQueue, KeepsOrderAndTimesOut) {
  BlockingQueue<Json> q;
  EXPECT_FALSE(q.get(20ms).has_value());
  Json item = Json::array({1, 2});
  q.put(item);  // a copy is taken at the put
  item.push_back(3);
  q.put(Json("second"));
  EXPECT_EQ(q.qsize(), 2u);
  EXPECT_EQ(q.get(), Json::array({1, 2}));
  EXPECT_EQ(q.get(), Json("second"));
}

TEST(BlockingQueue, BlockingGetWakesOnPut) {
  BlockingQueue<int> q;
  std::thread t([&] {
    std::this_thread::sleep_for(30ms);
    q.put(7);
  });
  EXPECT_EQ(q.get(), 7);
  t.join();
}

TEST(SharedNamespace, ReadIsACopyAndAssignReplaces) {
  SharedNamespace ns;
  ns.set("lst", Json::array({"a"}));
  Json mine = ns.get<Json>("lst");
  mine.push_back("b");
  EXPECT_EQ(ns.get<Json>("lst"), Json::array({"a"}));

  auto snap = ns.snapshot<Json>("lst");
  ns.set("lst", Json::array({"x", "y"}));
  EXPECT_EQ(*snap, Json::array({"a"}));  // an old snapshot stays as it was
  EXPECT_EQ(ns.get<Json>("lst"), Json::array({"x", "y"}));

  EXPECT_THROW(ns.get<Json>("missing"), AttributeError);
  EXPECT_THROW(ns.get<int>("lst"), AttributeError);
}

TEST(SharedNamespace, ConcurrentAssignmentsAreNotLost) {
  SharedNamespace ns;
  constexpr int kThreads = 8, kNames = 200;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < kNames; ++i) {
        ns.set("a" + std::to_string(t) + "_" + std::to_string(i), Json(i));
        (void)ns.get<Json>("a" + std::to_string(t) + "_" + std::to_string(i));
      }
    });
  for (auto& t : ts) t.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kNames; ++i) EXPECT_EQ(ns.get<Json>("a" + std::to_string(t) + "_" + std::to_string(i)), i);
  EXPECT_EQ(ns.names().size(), static_cast<size_t>(kThreads * kNames));
}

TEST(SharedNamespace, ReadersSeeWholeValuesDuringReplacement) {
  SharedNamespace ns;
  ns.set("v", Json::array({0, 0, 0}));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 1; i < 2000; ++i) ns.set("v", Json::array({i, i, i}));
    stop = true;
  });
  while (!stop) {
    Json v = ns.get<Json>("v");
    ASSERT_EQ(v[0], v[1]);
    ASSERT_EQ(v[1], v[2]);
  }
  writer.join();
}

TEST(Child, RunsReportsAndIsJoinedWhenFinished) {
  std::atomic<bool> release{false};
  ChildList owner;
  auto quick = Child::start("quick", [] {});
  auto slow = Child::start("slow", [&] {
    while (!release) std::this_thread::sleep_for(1ms);
  });
  auto failing = Child::start("failing", [] { throw std::runtime_error("boom"); });
  EXPECT_GT(quick->pid(), 0);
  EXPECT_GT(quick->start_time(), 0);
  owner.add(quick);
  owner.add(slow);
  owner.add(failing);
  ASSERT_TRUE(quick->join(2s));
  ASSERT_TRUE(failing->join(2s));
  EXPECT_EQ(quick->exitcode(), 0);
  EXPECT_EQ(failing->exitcode(), 1);

  auto joined = owner.join_finished(10ms);
  EXPECT_EQ(joined.size(), 2u);
  ASSERT_EQ(owner.size(), 1u);  // the running child stays listed
  EXPECT_EQ(owner.items()[0]->name(), "slow");
  EXPECT_FALSE(slow->join(10ms));
  EXPECT_TRUE(slow->is_alive());

  release = true;
  for (int i = 0; i < 400 && owner.size() > 0; ++i) {
    owner.join_finished(10ms);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(owner.size(), 0u);  // no finished child is left unjoined
  EXPECT_TRUE(slow->joined());
}

TEST(Child, DroppedHandleLetsTheChildRunOn) {
  std::atomic<bool> finished{false};
  {
    auto c = Child::start("orphan", [&] {
      std::this_thread::sleep_for(30ms);
      finished = true;
    });
  }
  for (int i = 0; i < 200 && !finished; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(finished);
}

TEST(ProcessLock, ExcludesAndMayBeReleasedByAnotherThread) {
  auto lock = std::make_shared<ProcessLock>();
  lock->acquire();
  EXPECT_FALSE(lock->try_acquire_for(10ms));
  std::thread([&] { lock->release(); }).join();
  EXPECT_TRUE(lock->try_acquire_for(10ms));
  lock->release();

  LockMap m;
  m["a.com"] = lock;
  LockMap copy = m;  // copies share the locks
  std::lock_guard g(*copy["a.com"]);
  EXPECT_FALSE(m["a.com"]->try_lock());
}
