// The staging table on real SQLite files.
#include "orvik/dataset/staging.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/data/columns.h"
#include "dataset_support.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::orvik;
using tessel::testing::FileLock;
using tessel::testing::InstantPauses;
using tessel::testing::locks_for;
using tessel::testing::LogCapture;
using tessel::testing::row;
using tessel::testing::TempDir;

TEST(Staging, AppendCountTruncate) {
  TempDir dir;
  LogCapture logs;
  const auto locks = locks_for("a.com");
  const std::string db = dir.file("a.com_1700000000.db");

  put_data_into_db({}, locks, "a.com", db, logs.sink());
  EXPECT_EQ(logs.take(), std::vector<std::string>{"info/ml: Stored data to file " + db + ": 0 request(s)"});
  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 0);
  EXPECT_TRUE(logs.take().empty());  // a zero count is a debug line
  get_cnt_from_db(db, logs.sink(true));
  EXPECT_EQ(logs.take(), std::vector<std::string>{"debug/ml: Found 0 record(s) in file " + db});

  put_data_into_db({row("/a"), row("/b"), row("/a")}, locks, "a.com", db, logs.sink(true));
  EXPECT_EQ(logs.take(), (std::vector<std::string>{"debug/ml: Storing data to file " + db + ": 3 request(s)",
                                                   "info/ml: Stored data to file " + db + ": 3 request(s)"}));
  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 3);
  EXPECT_EQ(logs.take(), std::vector<std::string>{"info/ml: Found 3 record(s) in file " + db});

  db_truncate("a.com", db, locks, logs.sink());
  EXPECT_EQ(logs.take(), std::vector<std::string>{"info/ml: Dropping main table after successful processing"});
  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 0);
}

TEST(Staging, MissingTable) {
  TempDir dir;
  LogCapture logs;
  InstantPauses pauses;
  const auto locks = locks_for("a.com");
  const std::string db = dir.file("new.db");
  const std::string table = core::db_data_table();

  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 0);
  EXPECT_EQ(logs.take(), std::vector<std::string>{"warn/os: Table \"" + table + "\" is not found in " + db});
  db_truncate("a.com", db, locks, logs.sink());
  EXPECT_EQ(logs.take(), (std::vector<std::string>{
                             "info/ml: Dropping main table after successful processing",
                             "error/os: An error occurred while processes file " + db + ": no such table: " + table}));
  EXPECT_EQ(pauses.count, 0);
}

TEST(Staging, UnknownHostLock) {
  TempDir dir;
  LogCapture logs;
  const std::string db = dir.file("x.db");
  put_data_into_db({row("/a")}, locks_for("a.com"), "b.com", db, logs.sink());
  EXPECT_EQ(logs.take(),
            std::vector<std::string>{"error/os: An error occurred while storing data to file " + db + ": 'b.com'"});
}

TEST(Staging, LockedFileIsRetriedNotDropped) {
  using namespace std::chrono_literals;
  TempDir dir;
  LogCapture logs;
  const auto locks = locks_for("a.com");
  const std::string db = dir.file("a.db");
  put_data_into_db({}, locks, "a.com", db, logs.sink());
  logs.take();

  FileLock holder(db);
  int seen = 0;
  InstantPauses pauses([&](auto) {
    if (++seen == 3) holder.release();
  });
  put_data_into_db({row("/a"), row("/b")}, locks, "a.com", db, logs.sink());
  EXPECT_EQ(pauses.count, 3);
  EXPECT_EQ(pauses.last, 1000ms);
  EXPECT_EQ(logs.take(), std::vector<std::string>{"info/ml: Stored data to file " + db + ": 2 request(s)"});
  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 2);
}

TEST(Staging, LockedLongerThanTheAttempts) {
  TempDir dir;
  LogCapture logs;
  const auto locks = locks_for("a.com");
  const std::string db = dir.file("a.db");
  put_data_into_db({row("/a")}, locks, "a.com", db, logs.sink());
  logs.take();
  FileLock holder(db);
  InstantPauses pauses;

  put_data_into_db({row("/b")}, locks, "a.com", db, logs.sink());
  EXPECT_EQ(pauses.count, 60);
  EXPECT_EQ(logs.take(), std::vector<std::string>{"error/os: An error occurred while storing data to file " + db +
                                                  ": database is locked"});
  db_truncate("a.com", db, locks, logs.sink());
  EXPECT_EQ(logs.take(), (std::vector<std::string>{
                             "info/ml: Dropping main table after successful processing",
                             "error/os: An error occurred while processes file " + db + ": database is locked"}));
  holder.release();
  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 1);  // nothing lost, nothing added
}

TEST(Staging, DamagedFileIsMovedAsideAndANewOneTakesTheRows) {
  TempDir dir;
  LogCapture logs;
  const auto locks = locks_for("a.com");
  const std::string db = dir.file("a.db");
  tessel::testing::write_file(db, std::string(4096, 'x'));

  put_data_into_db({row("/a")}, locks, "a.com", db, logs.sink());
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "error/os: An error occurred while storing data to file " + db + ": file is not a database");
  EXPECT_EQ(lines[1], "error/os: File " + db + " moved to " + db + ".corrupt");
  EXPECT_EQ(lines[2], "info/ml: Stored data to file " + db + ": 1 request(s)");
  EXPECT_EQ(tessel::testing::read_file(db + ".corrupt"), std::string(4096, 'x'));
  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 1);
}

TEST(Staging, TwoWritersAndAReaderLoseNoRow) {
  TempDir dir;
  LogCapture logs;
  const auto locks = locks_for("a.com");
  const std::string db = dir.file("a.db");
  auto writer = [&](const std::string& tag) {
    for (int b = 0; b < 40; ++b) {
      RequestTable batch;
      for (int i = 0; i < 25; ++i) batch.push_back(row("/" + tag + std::to_string(b) + "/" + std::to_string(i)));
      put_data_into_db(batch, locks, "a.com", db, logs.sink());
    }
  };
  std::atomic<bool> done{false};
  std::int64_t last = 0;
  bool decreasing = false;
  std::thread reader([&] {
    while (!done) {
      const auto n = get_cnt_from_db(db, logs.sink());
      if (n < last) decreasing = true;
      last = n;
    }
  });
  std::thread w1(writer, "x"), w2(writer, "y");
  w1.join();
  w2.join();
  done = true;
  reader.join();
  EXPECT_FALSE(decreasing);
  EXPECT_EQ(get_cnt_from_db(db, logs.sink()), 2000);
  for (const auto& l : logs.take()) EXPECT_EQ(l.rfind("error", 0), std::string::npos) << l;
}
