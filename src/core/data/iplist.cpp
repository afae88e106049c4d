#include "core/data/iplist.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

#include "core/base/util.h"

namespace tessel::core {

namespace {
constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
}

std::optional<IpList::Net> IpList::parse(std::string_view text) {
  text = detail::trim(text);
  std::string addr(text);
  int prefix = -1;
  if (auto slash = text.find('/'); slash != std::string_view::npos) {
    addr = std::string(text.substr(0, slash));
    auto digits = text.substr(slash + 1);
    int p = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), p);
    if (ec != std::errc() || ptr != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    prefix = p;
  }
  Net n;
  if (inet_pton(AF_INET, addr.c_str(), n.bytes.data()) == 1) {
    n.v6 = false;
    n.prefix = prefix < 0 ? 32 : prefix;
    if (n.prefix > 32) return std::nullopt;
  } else if (inet_pton(AF_INET6, addr.c_str(), n.bytes.data()) == 1) {
    n.v6 = true;
    n.prefix = prefix < 0 ? 128 : prefix;
    if (n.prefix > 128) return std::nullopt;
    if (std::memcmp(n.bytes.data(), kMapped, 12) == 0 && n.prefix >= 96) {
      std::memmove(n.bytes.data(), n.bytes.data() + 12, 4);
      std::memset(n.bytes.data() + 4, 0, 12);
      n.v6 = false;
      n.prefix -= 96;
    }
  } else {
    return std::nullopt;
  }
  return n;
}

IpList::IpList(const Json& entries, std::vector<std::string>* rejected) {
  if (!entries.is_array()) return;
  for (const auto& e : entries) {
    std::optional<Net> n;
    if (e.is_string()) n = parse(e.get_ref<const std::string&>());
    if (n) {
      nets_.push_back(*n);
    } else if (rejected) {
      rejected->push_back(detail::json_text(e));
    }
  }
}

bool IpList::contains(std::string_view addr) const {
  if (nets_.empty() || addr.find('/') != std::string_view::npos) return false;
  auto a = parse(addr);
  if (!a) return false;
  for (const auto& n : nets_) {
    if (n.v6 != a->v6) continue;
    const int full = n.prefix / 8, bits = n.prefix % 8;
    if (std::memcmp(n.bytes.data(), a->bytes.data(), static_cast<std::size_t>(full)) != 0) continue;
    if (bits) {
      const std::uint8_t mask = static_cast<std::uint8_t>(0xff << (8 - bits));
      if ((n.bytes[static_cast<std::size_t>(full)] & mask) != (a->bytes[static_cast<std::size_t>(full)] & mask))
        continue;
    }
    return true;
  }
  return false;
}

}  // namespace tessel::core
