#include "core/data/spool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "shared/pyvalues/pyjson.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

namespace tessel::core {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

std::vector<Json> batch(int first, int n) {
  std::vector<Json> b;
  for (int i = first; i < first + n; ++i) b.push_back(Json{{"request_id", i}, {"text", "é\u2028\"x\""}});
  return b;
}

std::vector<std::string> names(const testing::TempDir& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir.path())) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

long dead_pid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

class Spool : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  testing::LogCapture lc_;
  EventQueue& q_ec_ = lc_.q_ec;
  LogSink sink_ = lc_.sink();
};

TEST_F(Spool, BatchesComeBackOnceOldestFirst) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rmq_vexa_data_save(batch(i * 10, 2), dir_.str(), sink_));
  for (int i = 0; i < 3; ++i) {
    auto b = rmq_vexa_data_load(dir_.str(), sink_);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->data, batch(i * 10, 2));
    rmq_vexa_data_done(*b, sink_);
  }
  EXPECT_FALSE(rmq_vexa_data_load(dir_.str(), sink_));
  EXPECT_TRUE(names(dir_).empty());
  EXPECT_TRUE(q_ec_.empty());
}

TEST_F(Spool, MessagesComeBackAsTheBodyParserReadThem) {
  // Values of Python's JSON that have no plain JSON form.
  const std::string body =
      R"({"request_id": 123456789012345678901234567890, "lm": NaN, "mz": "\ud800x", "n": -Infinity, )"
      R"("u": 18446744073709551615, "f": 1.0, "t": "line\nnext \u00e9"})";
  const Json msg = json_loads_bytes(body);
  ASSERT_TRUE(rmq_vexa_data_save({msg}, dir_.str(), sink_));
  auto b = rmq_vexa_data_load(dir_.str(), sink_);
  ASSERT_TRUE(b);
  ASSERT_EQ(b->data.size(), 1u);
  EXPECT_EQ(json_dumps(b->data[0]), json_dumps(msg));
  EXPECT_TRUE(py_is_bigint(b->data[0]["request_id"]));
  EXPECT_TRUE(q_ec_.empty());
}

TEST_F(Spool, ABatchNotHandedOnGoesBackOrToTheNextProcess) {
  ASSERT_TRUE(rmq_vexa_data_save(batch(0, 1), dir_.str(), sink_));
  auto b = rmq_vexa_data_load(dir_.str(), sink_);
  ASSERT_TRUE(b);
  // Claimed by this process: no other reader of it takes the batch.
  EXPECT_FALSE(rmq_vexa_data_load(dir_.str(), sink_));
  rmq_vexa_data_putback(*b, sink_);
  b = rmq_vexa_data_load(dir_.str(), sink_);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->data, batch(0, 1));

  // The claim of a process that ended is taken over; one of a running
  // process is not.
  const std::string base = b->path.substr(0, b->path.rfind(".claimed."));
  fs::rename(b->path, base + ".claimed." + std::to_string(dead_pid()));
  testing::write_file(dir_.file("00000000000000000001-1-1-0.jsonl.claimed.1"), "{\"x\": 1}\n");
  b = rmq_vexa_data_load(dir_.str(), sink_);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->data, batch(0, 1));
  rmq_vexa_data_done(*b, sink_);
  EXPECT_FALSE(rmq_vexa_data_load(dir_.str(), sink_));
}

TEST_F(Spool, ConcurrentReadersNeverShareABatch) {
  const int kBatches = 200;
  for (int i = 0; i < kBatches; ++i) ASSERT_TRUE(rmq_vexa_data_save(batch(i, 1), dir_.str(), sink_));
  std::mutex mu;
  std::multiset<int> seen;
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (auto b = rmq_vexa_data_load(dir_.str(), sink_)) {
        rmq_vexa_data_done(*b, sink_);
        std::lock_guard lk(mu);
        for (const auto& m : b->data) seen.insert(m["request_id"].get<int>());
      }
    });
  }
  for (auto& r : readers) r.join();
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kBatches));
  EXPECT_EQ(std::set<int>(seen.begin(), seen.end()).size(), static_cast<std::size_t>(kBatches));
}

TEST_F(Spool, PartialAndFailedWritesNeverBecomeBatches) {
  // A temporary file of a writer that ended: removed, never loaded.
  const std::string tmp = "." + std::string("00000000000000000001-") + std::to_string(dead_pid()) + "-1-0.jsonl.tmp";
  testing::write_file(dir_.file(tmp), "{\"half\": ");
  EXPECT_FALSE(rmq_vexa_data_load(dir_.str(), sink_));
  EXPECT_TRUE(names(dir_).empty());

  EXPECT_FALSE(rmq_vexa_data_save(batch(0, 1), dir_.file("missing/"), sink_));
  auto lines = testing::event_lines(q_ec_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("error os An error occurred while saving data to"));
  EXPECT_FALSE(rmq_vexa_data_load(dir_.file("missing/"), sink_));
}

}  // namespace
}  // namespace tessel::core
