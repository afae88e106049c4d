#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "ingestor/ingestor.h"
#include "support/log_capture.h"
#include "support/waf_messages.h"

namespace tessel::ingestor {
namespace {

using ::testing::ElementsAre;
using testing::event_lines;

// A child that runs until released.
struct Held {
  std::promise<void> go;
  ChildPtr child;
  Held() {
    auto f = go.get_future().share();
    child = Child::start("held", [f] { f.wait(); });
  }
  ~Held() { release(); }
  void release() {
    try {
      go.set_value();
    } catch (...) {
    }
    child->join(std::chrono::seconds(5));
  }
};

class Housekeeping : public ::testing::Test {
 protected:
  Housekeeping() {
    opts_.clock = [this] { return now_; };
    opts_.cpu_count = 1;
  }
  std::pair<ChildEntries, std::int64_t> pass(ChildEntries p, std::int64_t pttl) {
    return processes_control("VDNP", std::move(p), pttl, sink_, opts_);
  }
  std::int64_t now_ = 1000;
  IntakeOptions opts_;
  testing::LogCapture lc_;
  EventQueue& q_ec_ = lc_.q_ec;
  LogSink sink_ = lc_.sink();
};

TEST_F(Housekeeping, RunsOnlyAfterTheDeadline) {
  Held a;
  ChildEntries list = {{now_, a.child}};
  auto [same, pttl] = pass(list, now_);
  EXPECT_EQ(pttl, now_);
  EXPECT_EQ(same.size(), 1u);
  ++now_;
  std::tie(same, pttl) = pass(same, 1000);
  EXPECT_EQ(pttl, 1031);
  EXPECT_TRUE(event_lines(q_ec_).empty());
}

TEST_F(Housekeeping, ReapsFinishedChildrenAndReportsLongRunners) {
  Held done, young, old, older;
  done.release();
  ChildEntries list = {
      {now_, done.child}, {now_ - 60, old.child}, {now_, young.child}, {now_ - 61, older.child}, {now_, done.child}};
  auto [left, pttl] = pass(list, now_ - 1);
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].child, old.child);
  EXPECT_EQ(left[1].child, young.child);
  EXPECT_EQ(left[2].child, older.child);
  EXPECT_TRUE(done.child->joined());
  EXPECT_THAT(event_lines(q_ec_),
              ElementsAre("warn os VDNP: process " + std::to_string(older.child->pid()) + " takes more than 61 sec."));
}

TEST_F(Housekeeping, WarnsAboveEightChildrenPerProcessor) {
  std::vector<std::unique_ptr<Held>> held;
  ChildEntries list;
  for (int i = 0; i < 9; ++i) {
    held.push_back(std::make_unique<Held>());
    list.push_back({now_, held.back()->child});
  }
  ChildEntries eight(list.begin(), list.begin() + 8);
  pass(eight, now_ - 1);
  EXPECT_TRUE(event_lines(q_ec_).empty());
  pass(list, now_ - 1);
  EXPECT_THAT(event_lines(q_ec_), ElementsAre("warn os VDNP: 9 active processes"));
}

}  // namespace
}  // namespace tessel::ingestor
