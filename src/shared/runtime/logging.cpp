#include "shared/runtime/logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

#include "shared/pyvalues/utf8.h"

namespace tessel {

const char* level_name(int levelno) {
  switch (levelno) {
    case DEBUG:
      return "DEBUG";
    case INFO:
      return "INFO";
    case WARNING:
      return "WARNING";
    case ERROR:
      return "ERROR";
    case CRITICAL:
      return "CRITICAL";
    default:
      return "NOTSET";
  }
}

namespace {
void pad_right(std::string& out, std::string_view s, std::size_t width) {
  out.append(s);
  std::size_t n = utf8_length(s);
  if (n < width) out.append(width - n, ' ');
}
}  // namespace

std::string format_record(const LogRecord& r) {
  using namespace std::chrono;
  auto since = r.created.time_since_epoch();
  auto secs = duration_cast<seconds>(since);
  auto msecs = duration_cast<milliseconds>(since - secs).count();
  // The local date and time of the last second formatted on this thread.
  thread_local std::int64_t cached_secs = INT64_MIN;
  thread_local char date[32];
  thread_local std::size_t date_len = 0;
  if (secs.count() != cached_secs) {
    std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    localtime_r(&t, &tm);
    date_len = std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    cached_secs = secs.count();
  }
  char buf[64];
  std::memcpy(buf, date, date_len);
  const std::size_t n = date_len;
  std::snprintf(buf + n, sizeof buf - n, ",%03d", static_cast<int>(msecs));
  std::string out;
  out.reserve(48 + r.message.size());
  out.append(buf);
  out.push_back(' ');
  pad_right(out, r.name, 12);
  out.push_back(' ');
  pad_right(out, level_name(r.levelno), 8);
  out.push_back(' ');
  out.append(r.message);
  return out;
}

void Logger::set_level(int level) { level_.store(level, std::memory_order_relaxed); }

int Logger::level() const { return level_.load(std::memory_order_relaxed); }

void Logger::add_handler(std::shared_ptr<LogQueue> q) {
  std::lock_guard lk(mu_);
  auto hs = std::make_shared<std::vector<std::shared_ptr<LogQueue>>>(*handlers_);
  hs->push_back(std::move(q));
  handlers_ = std::move(hs);
}

void Logger::set_handlers(std::vector<std::shared_ptr<LogQueue>> qs) {
  std::lock_guard lk(mu_);
  handlers_ = std::make_shared<const std::vector<std::shared_ptr<LogQueue>>>(std::move(qs));
}

void Logger::log(int levelno, std::string message) {
  if (levelno < level()) return;
  handle(LogRecord{name_, levelno, std::move(message), std::chrono::system_clock::now()});
}

void Logger::handle(LogRecord record) {
  std::shared_ptr<const std::vector<std::shared_ptr<LogQueue>>> hs;
  {
    std::lock_guard lk(mu_);
    hs = handlers_;
  }
  if (hs->empty()) return;
  for (std::size_t i = 0; i + 1 < hs->size(); ++i) (*hs)[i]->put(record);
  hs->back()->put(std::move(record));
}

RotatingFileWriter::RotatingFileWriter(std::string path, std::uint64_t max_bytes, int backup_count)
    : path_(std::move(path)), max_bytes_(max_bytes), backup_count_(backup_count) {
  open();
}

RotatingFileWriter::~RotatingFileWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void RotatingFileWriter::open() {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    throw std::runtime_error("[Errno " + std::to_string(errno) + "] " + std::strerror(errno) + ": '" + path_ + "'");
  }
}

bool RotatingFileWriter::rotates() const {
  if (max_bytes_ == 0) return false;
  struct stat st {};
  // Only a regular file is rotated (a device such as /dev/null is not).
  return !(::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode));
}

std::uint64_t RotatingFileWriter::end_position() const {
  const off_t pos = ::lseek(fd_, 0, SEEK_END);
  return pos < 0 ? 0 : static_cast<std::uint64_t>(pos);
}

void RotatingFileWriter::rollover() {
  ::close(fd_);
  fd_ = -1;
  auto exists = [](const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0;
  };
  if (backup_count_ > 0) {
    for (int i = backup_count_ - 1; i > 0; --i) {
      std::string sfn = path_ + "." + std::to_string(i);
      std::string dfn = path_ + "." + std::to_string(i + 1);
      if (exists(sfn)) {
        if (exists(dfn)) ::unlink(dfn.c_str());
        ::rename(sfn.c_str(), dfn.c_str());
      }
    }
    std::string dfn = path_ + ".1";
    if (exists(dfn)) ::unlink(dfn.c_str());
    if (exists(path_)) ::rename(path_.c_str(), dfn.c_str());
  }
  open();
}

void RotatingFileWriter::write_all(std::string_view text) {
  while (!text.empty()) {
    ssize_t w = ::write(fd_, text.data(), text.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("write failed: ") + std::strerror(errno));
    }
    text.remove_prefix(static_cast<std::size_t>(w));
  }
}

void RotatingFileWriter::emit(const LogRecord& r) { emit(std::span<const LogRecord>(&r, 1)); }

void RotatingFileWriter::emit(std::span<const LogRecord> records) {
  std::lock_guard lk(mu_);
  // Lines go out together, up to a rotation; the file's end is read once
  // per run of lines.
  std::string out;
  const LogRecord* first = nullptr;  // of the lines in `out`
  bool checked = false, rotating = false;
  std::uint64_t pos = 0;  // the file's size with `out` written
  auto flush = [&] {
    if (out.empty()) return;
    try {
      write_all(out);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "--- Logging error ---\n%s\nMessage: %s\n", e.what(), first->message.c_str());
    }
    out.clear();
  };
  for (const LogRecord& r : records) {
    try {
      std::string line = format_record(r);
      line = utf8_sanitize(line);
      line.push_back('\n');
      if (fd_ < 0) open();
      if (!checked) {
        rotating = rotates();
        pos = rotating ? end_position() : 0;
        checked = true;
      }
      // The file's size in bytes plus the line's length in characters, the
      // measure Python's RotatingFileHandler takes.
      if (rotating && pos + utf8_length(line) >= max_bytes_) {
        flush();
        rollover();
        pos = end_position();
      }
      if (out.empty()) first = &r;
      out += line;
      pos += line.size();
    } catch (const std::exception& e) {
      flush();
      checked = false;
      std::fprintf(stderr, "--- Logging error ---\n%s\nMessage: %s\n", e.what(), r.message.c_str());
    }
  }
  flush();
}

LogListener::LogListener(std::shared_ptr<LogQueue> q, std::shared_ptr<RotatingFileWriter> writer)
    : q_(std::move(q)), writer_(std::move(writer)) {
  thread_ = std::thread([q = q_, w = writer_] {
    std::vector<LogRecord> batch;
    for (;;) {
      batch.clear();
      batch.push_back(q->get());
      for (auto& r : q->drain(kBatch - 1)) batch.push_back(std::move(r));
      const auto stop = std::find_if(batch.begin(), batch.end(), [](const LogRecord& r) { return r.stop; });
      w->emit(std::span<const LogRecord>(batch.data(), static_cast<std::size_t>(stop - batch.begin())));
      if (stop != batch.end()) return;
    }
  });
}

LogListener::~LogListener() {
  if (thread_.joinable()) thread_.detach();
}

void LogListener::stop() {
  if (!thread_.joinable()) return;
  LogRecord r;
  r.stop = true;
  q_->put(std::move(r));
  thread_.join();
}

std::shared_ptr<LogService> open_log_service(const std::string& path, std::uint64_t max_bytes, int backup_count) {
  static std::mutex mu;
  static std::map<std::string, std::shared_ptr<LogService>> services;
  std::lock_guard lk(mu);
  auto& slot = services[path];
  if (slot) return slot;
  auto svc = std::make_shared<LogService>();
  svc->writer = std::make_shared<RotatingFileWriter>(path, max_bytes, backup_count);
  svc->q_log = std::make_shared<LogQueue>();
  svc->listener = std::make_shared<LogListener>(svc->q_log, svc->writer);
  slot = svc;
  return svc;
}

}  // namespace tessel
