#pragma once
// Hex digits and percent-decoding ("%41" to "A").
#include <string>
#include <string_view>

namespace tessel {

// The value of a hex digit of either case, or -1 for any other character.
inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One round of percent-decoding, byte by byte: "%XX" with two hex digits
// becomes that byte, any other "%" stays, and with `plus_is_space` a "+"
// becomes a space. The result is bytes, UTF-8 or not. When `decoded_high`
// is given it is set to whether a decoded "%XX" gave a byte of 0x80 or more.
std::string percent_decode(std::string_view s, bool plus_is_space = false, bool* decoded_high = nullptr);

}  // namespace tessel
