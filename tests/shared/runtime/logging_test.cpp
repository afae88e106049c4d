#include "shared/runtime/logging.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "core/base/log.h"
#include "shared/runtime/log_sink.h"
#include "support/temp_dir.h"

using namespace tessel;
using tessel::testing::read_file;
using tessel::testing::TempDir;

namespace {
LogRecord rec(int level, std::string msg) {
  // 2026-12-10 12:00:00.123 in local time
  std::tm tm{};
  tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 10, tm.tm_hour = 12, tm.tm_isdst = -1;
  auto t = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(123);
  return LogRecord{"MAIN", level, std::move(msg), t};
}
}  // namespace

TEST(LogFormat, MatchesThePythonLayout) {
  EXPECT_EQ(format_record(rec(INFO, "START")), "2026-12-10 12:00:00,123 MAIN         INFO     START");
  EXPECT_EQ(format_record(rec(WARNING, "Restart signal received, waiting for service restart")),
            "2026-12-10 12:00:00,123 MAIN         WARNING  Restart signal received, waiting for service restart");
  EXPECT_EQ(format_record(rec(CRITICAL, "x")), "2026-12-10 12:00:00,123 MAIN         CRITICAL x");
  EXPECT_EQ(format_record(rec(DEBUG, "PID: None")), "2026-12-10 12:00:00,123 MAIN         DEBUG    PID: None");
  EXPECT_EQ(format_record(rec(ERROR, "")), "2026-12-10 12:00:00,123 MAIN         ERROR    ");
  LogRecord r = rec(INFO, "m");
  r.created = r.created + std::chrono::microseconds(876999);  // milliseconds are cut, not rounded
  EXPECT_EQ(format_record(r), "2026-12-10 12:00:00,999 MAIN         INFO     m");
}

TEST(RotatingFileWriter, RotatesLikePythonAndKeepsFiveBackups) {
  TempDir dir;
  const std::string path = dir.file("tessel.log");
  tessel::testing::write_file(path, "old line\n");  // appended to, not truncated
  // Each line is 43 + 2 + 1 characters: "2026-12-10 12:00:00,123 MAIN         INFO     " is 47.
  const std::size_t line_len = format_record(rec(INFO, "00")).size() + 1;
  RotatingFileWriter w(path, 3 * line_len, 5);
  for (int i = 0; i < 40; ++i) w.emit(rec(INFO, (i < 10 ? "0" : "") + std::to_string(i)));

  // Python rolls over when size + len(line) >= max: two lines a file.
  EXPECT_EQ(read_file(path), format_record(rec(INFO, "38")) + "\n" + format_record(rec(INFO, "39")) + "\n");
  EXPECT_EQ(read_file(path + ".1"), format_record(rec(INFO, "36")) + "\n" + format_record(rec(INFO, "37")) + "\n");
  EXPECT_EQ(read_file(path + ".5"), format_record(rec(INFO, "28")) + "\n" + format_record(rec(INFO, "29")) + "\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".6"));
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++files;
  EXPECT_EQ(files, 6);
}

TEST(RotatingFileWriter, FirstRolloverKeepsExistingContent) {
  TempDir dir;
  const std::string path = dir.file("tessel.log");
  tessel::testing::write_file(path, "previous run\n");
  const std::size_t line_len = format_record(rec(INFO, "00")).size() + 1;
  RotatingFileWriter w(path, 13 + line_len + 1, 5);
  w.emit(rec(INFO, "01"));  // 13 + line < max: appended
  w.emit(rec(INFO, "02"));  // rolls over first
  EXPECT_EQ(read_file(path + ".1"), "previous run\n" + format_record(rec(INFO, "01")) + "\n");
  EXPECT_EQ(read_file(path), format_record(rec(INFO, "02")) + "\n");
}

TEST(RotatingFileWriter, CountsCharactersNotBytesForTheLine) {
  TempDir dir;
  const std::string path = dir.file("t.log");
  const std::string msg = "\xc3\xa9\xc3\xa9";  // two characters, four bytes
  const std::size_t chars = format_record(rec(INFO, "ab")).size() + 1;
  RotatingFileWriter w(path, chars + 1, 5);
  w.emit(rec(INFO, msg));  // chars < max: no rollover of the empty file
  EXPECT_FALSE(std::filesystem::exists(path + ".1"));
  w.emit(rec(INFO, msg));
  EXPECT_TRUE(std::filesystem::exists(path + ".1"));
}

// Records written together give the files that one write per record gives,
// rotations inside a batch included; each line has its own second.
TEST(RotatingFileWriter, ABatchWritesWhatSingleLinesWould) {
  TempDir one, many;
  std::vector<LogRecord> records;
  for (int i = 0; i < 40; ++i) {
    LogRecord r = rec(INFO, (i < 10 ? "0" : "") + std::to_string(i));
    r.created += std::chrono::seconds(i / 3);
    records.push_back(std::move(r));
  }
  const std::size_t line_len = format_record(records[0]).size() + 1;
  {
    RotatingFileWriter w(one.file("t.log"), 3 * line_len, 5);
    for (const auto& r : records) w.emit(r);
  }
  {
    RotatingFileWriter w(many.file("t.log"), 3 * line_len, 5);
    for (std::size_t i = 0; i < records.size(); i += 7)
      w.emit(std::span<const LogRecord>(records.data() + i, std::min<std::size_t>(7, records.size() - i)));
  }
  for (const char* name : {"t.log", "t.log.1", "t.log.2", "t.log.5"})
    EXPECT_EQ(read_file(many.file(name)), read_file(one.file(name))) << name;
  EXPECT_EQ(read_file(many.file("t.log")), format_record(records[38]) + "\n" + format_record(records[39]) + "\n");
  EXPECT_NE(read_file(many.file("t.log")).find("2026-12-10 12:00:13,123 MAIN"), std::string::npos);
}

TEST(RotatingFileWriter, ReportsAnUnwritableDirectory) {
  EXPECT_THROW(RotatingFileWriter("/nonexistent-dir/x/tessel.log", 100, 5), std::runtime_error);
}

TEST(LogProcessing, WritesRecordsAndEventsAndPassesDebugThroughTheThreshold) {
  TempDir dir;
  auto q = std::make_shared<LogQueue>();
  auto writer = std::make_shared<RotatingFileWriter>(dir.file("tessel.log"), 52428800, 5);
  LogListener listener(q, writer);
  auto q_ec_ptr = std::make_shared<EventQueue>();
  auto log_ptr = std::make_shared<Logger>("TESTLOG");
  EventQueue& q_ec = *q_ec_ptr;
  Logger& log = *log_ptr;
  const LogSink sink{q_ec_ptr, log_ptr, false};
  log.set_level(INFO);
  log.set_handlers({q});
  core::log_processing(sink, "info", "os", "START");
  core::log_processing(sink, "debug", "os", "PID: None");
  core::log_processing(sink, "warn", "os", "w");
  core::log_processing(sink, "error", "api", "e");
  core::log_processing(sink, "fatal", "settings", "f");
  listener.stop();
  const std::string text = read_file(dir.file("tessel.log"));
  const std::regex line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} TESTLOG      (INFO    |DEBUG   |WARNING |ERROR   |CRITICAL) .*)");
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  ASSERT_EQ(lines.size(), 5u);
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_NE(lines[1].find("DEBUG    PID: None"), std::string::npos);
  EXPECT_NE(lines[4].find("CRITICAL f"), std::string::npos);
  ASSERT_EQ(q_ec.qsize(), 5u);
  Json ev = q_ec.get();
  EXPECT_EQ(ev["level"], "info");
  EXPECT_EQ(ev["category"], "os");
  EXPECT_EQ(ev["message"], "START");
}

TEST(LogProcessing, NeverThrowsOnBadText) {
  auto q_ec_ptr = std::make_shared<EventQueue>();
  auto log_ptr = std::make_shared<Logger>("NOHANDLER");
  EventQueue& q_ec = *q_ec_ptr;
  const LogSink sink{q_ec_ptr, log_ptr, false};
  EXPECT_NO_THROW(core::log_processing(sink, "info", "os", std::string("bad \xff\xfe utf-8")));
  Json ev = q_ec.get();
  EXPECT_NO_THROW((void)ev.dump());
}
