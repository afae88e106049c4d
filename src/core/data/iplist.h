#pragma once
// A list of client addresses and address ranges (white lists).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/pyvalues/json.h"

namespace tessel::core {

class IpList {
 public:
  IpList() = default;
  // Entries: IPv4 or IPv6 addresses or CIDR ranges ("10.0.0.0/8",
  // "2001:db8::/32"), as texts. Entries that are neither are left out and,
  // when `rejected` is given, reported there.
  explicit IpList(const Json& entries, std::vector<std::string>* rejected = nullptr);

  bool empty() const { return nets_.empty(); }
  // True when the text is an address or a CIDR range.
  static bool valid(std::string_view text) { return parse(text).has_value(); }
  // True when the address text falls into one of the entries. An IPv4
  // address written as an IPv4-mapped IPv6 address counts as IPv4.
  bool contains(std::string_view addr) const;

 private:
  struct Net {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};
    int prefix = 0;
  };
  static std::optional<Net> parse(std::string_view text);
  std::vector<Net> nets_;
};

}  // namespace tessel::core
