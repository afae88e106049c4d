#include "shared/pyvalues/percent.h"

namespace tessel {

std::string percent_decode(std::string_view s, bool plus_is_space, bool* decoded_high) {
  bool high = false;
  if (s.find_first_of(plus_is_space ? std::string_view("%+") : std::string_view("%")) == std::string_view::npos) {
    if (decoded_high != nullptr) *decoded_high = false;
    return std::string(s);
  }
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '%' && i + 2 < s.size()) {
      const int hi = hex_digit(s[i + 1]);
      const int lo = hex_digit(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        const int b = hi * 16 + lo;
        high = high || b >= 0x80;
        out.push_back(static_cast<char>(b));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_is_space && c == '+' ? ' ' : c);
  }
  if (decoded_high != nullptr) *decoded_high = high;
  return out;
}

}  // namespace tessel
