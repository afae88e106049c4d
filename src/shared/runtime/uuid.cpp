#include "shared/runtime/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace tessel {
namespace {

void random_bytes(unsigned char* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = getrandom(p, n, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) break;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  if (n == 0) return;
  std::FILE* f = std::fopen("/dev/urandom", "rb");
  bool ok = f && std::fread(p, 1, n, f) == n;
  if (f) std::fclose(f);
  if (!ok) throw std::runtime_error("no source of random bytes");
}

}  // namespace

std::string uuid4_hex() {
  // Kernel randomness fetched in blocks: one system call per 256 ids.
  thread_local unsigned char pool[4096];
  thread_local std::size_t used = sizeof pool;
  if (used == sizeof pool) {
    random_bytes(pool, sizeof pool);
    used = 0;
  }
  unsigned char* b = pool + used;
  used += 16;
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  std::string out(32, '0');
  for (std::size_t i = 0; i < 16; ++i) {
    out[2 * i] = kHex[b[i] >> 4];
    out[2 * i + 1] = kHex[b[i] & 0xF];
  }
  return out;
}

}  // namespace tessel
