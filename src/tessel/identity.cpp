#include "tessel/identity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "shared/runtime/uuid.h"

namespace tessel::svc {

namespace {

std::runtime_error os_error(const std::string& what, const std::string& path, int err) {
  return std::runtime_error(what + " " + path + ": [Errno " + std::to_string(err) + "] " + std::strerror(err));
}

bool usable_id(const std::string& id) {
  if (id.empty() || id.size() > 64) return false;
  for (unsigned char c : id)
    if (c <= 0x20 || c >= 0x7F) return false;
  return true;
}

// The first line of the file without surrounding blanks; `exists` tells
// whether there is a file at all.
std::string first_line(const std::string& path, bool& exists) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      exists = false;
      return {};
    }
    throw os_error("cannot read the instance id file", path, errno);
  }
  exists = true;
  std::string data;
  char buf[256];
  for (;;) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      const int err = errno;
      ::close(fd);
      throw os_error("cannot read the instance id file", path, err);
    }
    if (r == 0 || data.size() > 4096) break;
    data.append(buf, static_cast<std::size_t>(r));
  }
  ::close(fd);
  const auto nl = data.find_first_of("\r\n");
  std::string line = data.substr(0, nl);
  const auto b = line.find_first_not_of(" \t");
  const auto e = line.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : line.substr(b, e - b + 1);
}

// Writes `id` to a temporary file beside `path` and returns its name.
std::string write_temp(const std::string& path, const std::string& id) {
  std::string tmp = path + ".tmp.XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) throw os_error("cannot write the instance id file", path, errno);
  const std::string text = id + "\n";
  bool ok = ::fchmod(fd, 0644) == 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            ::fsync(fd) == 0;
  const int err = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) ok = false;
  if (!ok) {
    ::unlink(tmp.c_str());
    throw os_error("cannot write the instance id file", path, err ? err : EIO);
  }
  return tmp;
}

}  // namespace

std::string instance_id(const std::string& path) {
  bool exists = false;
  std::string id = first_line(path, exists);
  if (exists && usable_id(id)) return id;
  id = uuid4_hex();
  const std::string tmp = write_temp(path, id);
  if (!exists) {
    // link() does not replace: a file created meanwhile by another start wins.
    if (::link(tmp.c_str(), path.c_str()) != 0) {
      const int err = errno;
      ::unlink(tmp.c_str());
      if (err != EEXIST) throw os_error("cannot write the instance id file", path, err);
      return instance_id(path);
    }
    ::unlink(tmp.c_str());
    return id;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw os_error("cannot write the instance id file", path, err);
  }
  return id;
}

namespace {

// The local address the kernel chooses for a datagram socket "connected" to
// `peer` (nothing is sent), or "" without a route.
std::string route_source(int family, const char* peer) {
  sockaddr_storage to{};
  socklen_t to_len;
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&to);
    a->sin_family = AF_INET;
    a->sin_port = htons(9);
    ::inet_pton(AF_INET, peer, &a->sin_addr);
    to_len = sizeof(sockaddr_in);
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&to);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(9);
    ::inet_pton(AF_INET6, peer, &a->sin6_addr);
    to_len = sizeof(sockaddr_in6);
  }
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_storage me{};
  socklen_t me_len = sizeof me;
  char text[INET6_ADDRSTRLEN] = {};
  const void* addr = family == AF_INET ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&me)->sin_addr)
                                       : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&me)->sin6_addr);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), to_len) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&me), &me_len) == 0 &&
                  ::inet_ntop(family, addr, text, sizeof text) != nullptr;
  ::close(fd);
  if (!ok || std::strcmp(text, "0.0.0.0") == 0 || std::strcmp(text, "::") == 0) return {};
  return text;
}

}  // namespace

std::string primary_address() {
  // Documentation addresses: only the choice of interface matters.
  if (std::string ip = route_source(AF_INET, "192.0.2.1"); !ip.empty()) return ip;
  if (std::string ip = route_source(AF_INET6, "2001:db8::1"); !ip.empty()) return ip;
  return "127.0.0.1";
}

}  // namespace tessel::svc
