#pragma once
// UTF-8 basics: decoding to code points, counting and repairing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessel {

// Decodes the code point at s[i] and advances i. An invalid or truncated
// sequence yields U+FFFD and advances by one byte.
char32_t utf8_next(std::string_view s, std::size_t& i);
void utf8_append(std::string& out, char32_t cp);
// Number of code points (an invalid byte counts as one).
std::size_t utf8_length(std::string_view s);
bool utf8_valid(std::string_view s);
// A copy in which every invalid sequence is replaced by U+FFFD.
std::string utf8_sanitize(std::string_view s);
// The code points of s, each read by `Next` (utf8_next or a decoder of the
// same form).
template <char32_t (*Next)(std::string_view, std::size_t&)>
std::u32string decode_u32(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) out.push_back(Next(s, i));
  return out;
}
std::u32string utf8_to_u32(std::string_view s);
std::string u32_to_utf8(std::u32string_view s);

}  // namespace tessel
