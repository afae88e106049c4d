#include "core/data/reputation.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tessel::core {

namespace {

bool private_v4(const std::uint8_t* a) {
  return a[0] == 10 || a[0] == 127 || (a[0] == 172 && (a[1] & 0xF0) == 16) || (a[0] == 192 && a[1] == 168) ||
         (a[0] == 169 && a[1] == 254) || (a[0] == 100 && (a[1] & 0xC0) == 64);
}

}  // namespace

bool is_private_ip(std::string_view addr) {
  const std::string text(addr);
  std::array<std::uint8_t, 16> b{};
  if (text.find('\0') == std::string::npos) {
    if (::inet_pton(AF_INET, text.c_str(), b.data()) == 1) return private_v4(b.data());
    if (::inet_pton(AF_INET6, text.c_str(), b.data()) == 1) {
      static constexpr std::array<std::uint8_t, 12> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
      if (std::equal(mapped.begin(), mapped.end(), b.begin())) return private_v4(b.data() + 12);
      static constexpr std::array<std::uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
      return b == loopback || (b[0] & 0xFE) == 0xFC || (b[0] == 0xFE && (b[1] & 0xC0) == 0x80);
    }
  }
  throw std::invalid_argument("failed to detect a valid IP address from '" + text + "'");
}

const std::vector<std::string>& ddos_bl_cc() {
  static const std::vector<std::string> codes{"CN", "RU", "KP", "IR", "VN", "BR", "IN", "ID", "PK", "NG", "UA", "TR"};
  return codes;
}

}  // namespace tessel::core
