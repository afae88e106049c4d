#include "core/data/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/base/log.h"
#include "core/base/util.h"
#include "shared/pyvalues/pyjson.h"

namespace tessel::core {

namespace {

constexpr std::string_view kExt = ".jsonl";
constexpr std::string_view kClaim = ".claimed.";
constexpr std::string_view kTmp = ".tmp";

std::system_error sys_error(const std::string& what) { return {errno, std::generic_category(), what}; }

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// The writer's pid inside "<ns>-<pid>-<tid>-<n>.jsonl...", or -1.
long pid_in_name(std::string_view name) {
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  auto a = name.find('-');
  if (a == std::string_view::npos) return -1;
  auto b = name.find('-', a + 1);
  if (b == std::string_view::npos || b == a + 1) return -1;
  long pid = 0;
  for (char c : name.substr(a + 1, b - a - 1)) {
    if (c < '0' || c > '9') return -1;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

bool process_alive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

std::string new_name() {
  static std::atomic<unsigned> counter{0};
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  char buf[96];
  std::snprintf(buf, sizeof buf, "%020lld-%ld-%ld-%u", static_cast<long long>(ns), static_cast<long>(::getpid()),
                static_cast<long>(::syscall(SYS_gettid)), counter++);
  return buf;
}

void write_all(int fd, const std::string& data, const std::string& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw sys_error("write " + path);
    }
    done += static_cast<std::size_t>(n);
  }
}

std::string read_all(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw sys_error("open " + path);
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      errno = err;
      throw sys_error("read " + path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace

bool rmq_vexa_data_save(const std::vector<Json>& rdata, const std::string& rmq_vexa_dir, const LogSink& sink) {
  const std::string name = new_name();
  const std::string tmp = join(rmq_vexa_dir, "." + name + std::string(kExt) + std::string(kTmp));
  const std::string final_path = join(rmq_vexa_dir, name + std::string(kExt));
  int fd = -1;
  try {
    std::string text;
    for (const auto& msg : rdata) {
      // Python's JSON rules both ways, so that what the parser of the
      // message body read (big ints, NaN, lone surrogates) comes back as it was.
      text += json_dumps(msg);
      text += '\n';
    }
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw sys_error("open " + tmp);
    write_all(fd, text, tmp);
    if (::fsync(fd) != 0) throw sys_error("fsync " + tmp);
    if (::close(fd) != 0) {
      fd = -1;
      throw sys_error("close " + tmp);
    }
    fd = -1;
    if (::rename(tmp.c_str(), final_path.c_str()) != 0) throw sys_error("rename " + tmp);
    return true;
  } catch (const std::exception& e) {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    log_processing(sink, "error", "os", "An error occurred while saving data to " + rmq_vexa_dir + ": " + e.what());
    return false;
  }
}

std::optional<SpooledBatch> rmq_vexa_data_load(const std::string& rmq_vexa_dir, const LogSink& sink) {
  try {
    const long me = static_cast<long>(::getpid());
    std::vector<std::string> candidates;
    DIR* d = ::opendir(rmq_vexa_dir.c_str());
    if (d == nullptr) {
      if (errno == ENOENT) return std::nullopt;
      throw sys_error("opendir " + rmq_vexa_dir);
    }
    while (dirent* ent = ::readdir(d)) {
      const std::string name = ent->d_name;
      if (name.empty() || name == "." || name == "..") continue;
      if (name.front() == '.') {
        // A temporary file of a writer that died: never becomes a batch.
        if (detail::ends_with(name, kTmp) && !process_alive(pid_in_name(name)))
          ::unlink(join(rmq_vexa_dir, name).c_str());
        continue;
      }
      if (detail::ends_with(name, kExt)) {
        candidates.push_back(name);
        continue;
      }
      auto claim = name.rfind(kClaim);
      if (claim == std::string::npos) continue;
      long owner = 0;
      bool digits = claim + kClaim.size() < name.size();
      for (std::size_t i = claim + kClaim.size(); i < name.size() && digits; ++i) {
        if (name[i] < '0' || name[i] > '9')
          digits = false;
        else
          owner = owner * 10 + (name[i] - '0');
      }
      // Claimed by a process that ended before handing the batch on.
      if (digits && owner != me && !process_alive(owner)) candidates.push_back(name);
    }
    ::closedir(d);
    std::sort(candidates.begin(), candidates.end());
    for (const auto& name : candidates) {
      std::string base = name.substr(0, name.find(kExt) + kExt.size());
      const std::string from = join(rmq_vexa_dir, name);
      const std::string claimed = join(rmq_vexa_dir, base + std::string(kClaim) + std::to_string(me));
      if (::rename(from.c_str(), claimed.c_str()) != 0) {
        if (errno == ENOENT) continue;  // another reader was faster
        throw sys_error("rename " + from);
      }
      SpooledBatch batch;
      batch.path = claimed;
      const std::string text = read_all(claimed);
      std::size_t pos = 0;
      while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        try {
          batch.data.push_back(json_loads_bytes(line));
        } catch (const std::exception& e) {
          log_processing(sink, "error", "os", "An error occurred while loading data from " + claimed + ": " + e.what());
        }
      }
      return batch;
    }
    return std::nullopt;
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", "An error occurred while loading data from " + rmq_vexa_dir + ": " + e.what());
    return std::nullopt;
  }
}

void rmq_vexa_data_done(const SpooledBatch& batch, const LogSink& sink) {
  if (::unlink(batch.path.c_str()) != 0 && errno != ENOENT) {
    log_processing(sink, "error", "os", "An error occurred while removing " + batch.path + ": " + std::strerror(errno));
  }
}

void rmq_vexa_data_putback(const SpooledBatch& batch, const LogSink& sink) {
  const auto claim = batch.path.rfind(kClaim);
  if (claim == std::string::npos) return;
  const std::string back = batch.path.substr(0, claim);
  if (::rename(batch.path.c_str(), back.c_str()) != 0) {
    log_processing(sink, "error", "os",
                   "An error occurred while returning " + batch.path + " to the spool: " + std::strerror(errno));
  }
}

}  // namespace tessel::core
