#pragma once
// Logging: loggers put records on a queue, one listener thread per log file takes them off and writes them
// through a size-rotating file writer that names and rotates its files the
// way Python's RotatingFileHandler does.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "shared/runtime/blocking_queue.h"

namespace tessel {

enum LogLevel : int { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40, CRITICAL = 50 };

const char* level_name(int levelno);

struct LogRecord {
  std::string name;
  int levelno = INFO;
  std::string message;
  std::chrono::system_clock::time_point created;
  bool stop = false;  // tells a listener to end (tests only)
};

using LogQueue = BlockingQueue<LogRecord>;

// "%(asctime)s %(name)-12s %(levelname)-8s %(message)s", local time,
// e.g. "2026-12-10 12:00:00,123 MAIN         INFO     START".
std::string format_record(const LogRecord& r);

class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

  void set_level(int level);
  int level() const;
  // Handlers are queues; a record goes to each of them.
  void add_handler(std::shared_ptr<LogQueue> q);
  void set_handlers(std::vector<std::shared_ptr<LogQueue>> qs);

  // Creates a record when `levelno` reaches the threshold.
  void log(int levelno, std::string message);
  // Hands a record to the handlers whatever the threshold.
  void handle(LogRecord record);

 private:
  std::string name_;
  mutable std::mutex mu_;
  std::atomic<int> level_{WARNING};  // read on every record: no lock
  // Replaced whole on a change, so a record takes one reference to it.
  std::shared_ptr<const std::vector<std::shared_ptr<LogQueue>>> handlers_ =
      std::make_shared<const std::vector<std::shared_ptr<LogQueue>>>();
};

// Size-rotating log file: before a line that would bring the file to
// `max_bytes` or more is written, name.4 -> name.5, ..., name -> name.1, and
// a new file is opened. The file is opened for appending.
class RotatingFileWriter {
 public:
  RotatingFileWriter(std::string path, std::uint64_t max_bytes, int backup_count);
  ~RotatingFileWriter();
  RotatingFileWriter(const RotatingFileWriter&) = delete;
  RotatingFileWriter& operator=(const RotatingFileWriter&) = delete;

  const std::string& path() const { return path_; }
  // Writes one formatted line; failures go to standard error and the line is
  // dropped, as a logging handler does.
  void emit(const LogRecord& r);
  // Writes the lines of several records in order, as many emit calls would.
  void emit(std::span<const LogRecord> records);

 private:
  void open();
  bool rotates() const;
  std::uint64_t end_position() const;
  void write_all(std::string_view text);
  void rollover();

  std::string path_;
  std::uint64_t max_bytes_;
  int backup_count_;
  int fd_ = -1;
  std::mutex mu_;
};

// The listener thread of one log file. Started once; runs for the life of
// the process unless stopped (tests).
class LogListener {
 public:
  // Records written together at most.
  static constexpr std::size_t kBatch = 1024;
  LogListener(std::shared_ptr<LogQueue> q, std::shared_ptr<RotatingFileWriter> writer);
  ~LogListener();
  void stop();  // writes what is queued, then ends the thread
  const std::shared_ptr<LogQueue>& queue() const { return q_; }

 private:
  std::shared_ptr<LogQueue> q_;
  std::shared_ptr<RotatingFileWriter> writer_;
  std::thread thread_;
};

// The process-wide log service of one file: the queue and its one listener.
// A second request for the same path gets the same service, so a file always
// has one writer.
struct LogService {
  std::shared_ptr<LogQueue> q_log;
  std::shared_ptr<RotatingFileWriter> writer;
  std::shared_ptr<LogListener> listener;
};
std::shared_ptr<LogService> open_log_service(const std::string& path, std::uint64_t max_bytes = 52428800,
                                             int backup_count = 5);

}  // namespace tessel
