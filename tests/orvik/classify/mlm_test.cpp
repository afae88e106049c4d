#include "orvik/classify/mlm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <regex>

#include "classify_fixture.h"

namespace tessel::orvik {
namespace {

// Workers whose staging waits for the test: a host without models that
// collects traffic keeps its worker alive until released.
class MlmHousekeeping : public ::testing::Test {
 protected:
  MlmHousekeeping() {
    ClassifyServices s;
    s.put_data_into_db = [this](const RequestTable&, const LockMap&, const std::string&, const std::string&,
                                const LogSink&) {
      std::unique_lock lk(mu);
      cv.wait(lk, [this] { return released; });
    };
    mlm = std::make_unique<MLM>(Json{{"d.test", "d.db"}}, dir.str(), false, std::vector<std::string>{"d.test"},
                                dir.file("mt.json"), testing::context(dir.str(), logs, {}).ctx, s);
    mlm->set_clock([this] { return now.load(); }, 1);
    logs.take();
  }
  ~MlmHousekeeping() override {
    release();
    mlm->join_workers(std::chrono::seconds(30));
  }
  void release() {
    std::lock_guard lk(mu);
    released = true;
    cv.notify_all();
  }
  void table(std::size_t rows) {
    RequestTable t;
    for (std::size_t i = 0; i < rows; ++i) t.push_back(testing::request("r" + std::to_string(i), "d.test", {}));
    mlm->dfs_processing(nullptr, {}, std::move(t));
  }
  // The warnings, with the thread ids left out.
  std::vector<std::string> warnings() {
    std::vector<std::string> out;
    for (const auto& l : logs.take())
      if (l.starts_with("warn/")) out.push_back(std::regex_replace(l, std::regex("process [0-9]+ "), "process N "));
    return out;
  }

  tessel::testing::TempDir dir;
  tessel::testing::LogCapture logs;
  std::atomic<std::int64_t> now{1000};
  std::mutex mu;
  std::condition_variable cv;
  bool released = false;
  std::unique_ptr<MLM> mlm;
};

TEST_F(MlmHousekeeping, AgeAndCountWarningsOnTheDeadline) {
  now = 1015;
  table(10);  // age 16 at the first pass: reported
  now = 1016;
  table(10);   // age 15: not reported
  table(1);    // age 15 > 1.5: reported
  table(0);    // no worker
  now = 1030;  // the deadline itself: no pass
  table(0);
  EXPECT_TRUE(warnings().empty());
  now = 1031;
  table(0);
  const std::vector<std::string> want = {
      "warn/os: ML analysis: process N takes more than 16 sec. (request(s): 10)",
      "warn/os: ML analysis: process N takes more than 15 sec. (request(s): 1)",
  };
  EXPECT_EQ(warnings(), want);
  // Four live workers with one processor: more than three.
  table(2);
  now = 1091;
  table(0);
  EXPECT_TRUE(warnings().empty());  // next pass after 1031 + 60
  now = 1092;
  table(0);
  const auto w = warnings();
  ASSERT_EQ(w.size(), 5u);
  EXPECT_EQ(w.back(), "warn/os: ML analysis: 4 active processes");
  // Finished workers are joined and dropped by the next pass.
  release();
  ASSERT_TRUE(mlm->join_workers(std::chrono::seconds(30)));
  now = 1200;
  table(0);
  EXPECT_TRUE(warnings().empty());
}

}  // namespace
}  // namespace tessel::orvik
