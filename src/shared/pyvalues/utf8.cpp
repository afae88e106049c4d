#include "shared/pyvalues/utf8.h"

namespace tessel {

char32_t utf8_next(std::string_view s, std::size_t& i) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size();
  unsigned char c = p[i];
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len;
  char32_t cp;
  char32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + len > n) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    unsigned char cc = p[i + k];
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return cp;
}

void utf8_append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t utf8_length(std::string_view s) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
    } else {
      utf8_next(s, i);
    }
    ++count;
  }
  return count;
}

bool utf8_valid(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t start = i;
    char32_t cp = utf8_next(s, i);
    if (cp == 0xFFFD && i == start + 1) return false;
  }
  return true;
}

std::string utf8_sanitize(std::string_view s) {
  if (utf8_valid(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  for (std::size_t i = 0; i < s.size();) utf8_append(out, utf8_next(s, i));
  return out;
}

std::u32string utf8_to_u32(std::string_view s) { return decode_u32<utf8_next>(s); }

std::string u32_to_utf8(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t cp : s) utf8_append(out, cp);
  return out;
}

}  // namespace tessel
