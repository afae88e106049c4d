#include "shared/pyvalues/pytext.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdio>

#include "shared/pyvalues/utf8.h"

namespace tessel {
namespace {

bool ascii_only(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// Length of the well-formed sequence that starts at s[i], or 0. With
// `surrogates`, ED A0..ED BF (encoded surrogates) are well formed too.
// On failure `bad` is the length of the maximal ill-formed subpart and
// `truncated` tells whether the data ended inside it.
std::size_t sequence_length(std::string_view s, std::size_t i, bool surrogates, std::size_t& bad, bool& truncated) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  unsigned char c = p[i];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  truncated = false;
  bad = 1;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED && !surrogates) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) {
      truncated = true;
      bad = k;
      return 0;
    }
    unsigned char cc = p[i + k];
    bool ok = k == 1 ? (cc >= lo && cc <= hi) : (cc & 0xC0) == 0x80;
    if (!ok) {
      bad = k;
      return 0;
    }
  }
  return len;
}

char32_t decode_at(std::string_view s, std::size_t i, std::size_t len) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  switch (len) {
    case 1:
      return p[0];
    case 2:
      return ((p[0] & 0x1F) << 6) | (p[1] & 0x3F);
    case 3:
      return ((p[0] & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    default:
      return ((p[0] & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
  }
}

icu::UnicodeString to_icu(std::string_view s) {
  icu::UnicodeString u;
  u.getBuffer(static_cast<int32_t>(s.size()));
  u.releaseBuffer(0);
  for (std::size_t i = 0; i < s.size();) u.append(static_cast<UChar32>(wtf8_next(s, i)));
  return u;
}

std::string from_icu(const icu::UnicodeString& u) {
  std::string out;
  out.reserve(static_cast<std::size_t>(u.length()) + 8);
  for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) utf8_append(out, u.char32At(i));
  return out;
}

// Byte offset of code point `n` from the start of s (s.size() when beyond).
std::size_t offset_of(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  while (n > 0 && i < s.size()) {
    wtf8_next(s, i);
    --n;
  }
  return i;
}

}  // namespace

char32_t wtf8_next(std::string_view s, std::size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  std::size_t bad;
  bool truncated;
  std::size_t len = sequence_length(s, i, true, bad, truncated);
  if (len == 0) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = decode_at(s, i, len);
  i += len;
  return cp;
}

std::u32string wtf8_to_u32(std::string_view s) { return decode_u32<wtf8_next>(s); }

std::size_t py_len(std::string_view s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++n) {
    if (static_cast<unsigned char>(s[i]) < 0x80)
      ++i;
    else
      wtf8_next(s, i);
  }
  return n;
}

std::string_view py_slice(std::string_view s, std::ptrdiff_t start, std::ptrdiff_t stop) {
  if (start < 0 || stop < 0) {
    auto n = static_cast<std::ptrdiff_t>(py_len(s));
    if (start < 0) start = start + n < 0 ? 0 : start + n;
    if (stop < 0) stop = stop + n < 0 ? 0 : stop + n;
  }
  if (stop <= start) return s.substr(0, 0);
  std::size_t b = offset_of(s, static_cast<std::size_t>(start));
  std::string_view rest = s.substr(b);
  std::size_t e = offset_of(rest, static_cast<std::size_t>(stop - start));
  return rest.substr(0, e);
}

std::string py_lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80) {
      icu::UnicodeString u = to_icu(s);
      u.toLower(icu::Locale::getRoot());
      return from_icu(u);
    }
    if (c >= 'A' && c <= 'Z') ch = static_cast<char>(c + 32);
  }
  return out;
}

bool py_isdigit(std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < '0' || c > '9') return false;
      ++i;
      continue;
    }
    char32_t cp = wtf8_next(s, i);
    int t = u_getIntPropertyValue(static_cast<UChar32>(cp), UCHAR_NUMERIC_TYPE);
    if (t != U_NT_DECIMAL && t != U_NT_DIGIT) return false;
  }
  return true;
}

bool py_isspace(char32_t c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool py_isspace(std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size();)
    if (!py_isspace(wtf8_next(s, i))) return false;
  return true;
}

std::string_view py_strip(std::string_view s) {
  std::size_t b = 0;
  while (b < s.size()) {
    std::size_t next = b;
    if (!py_isspace(wtf8_next(s, next))) break;
    b = next;
  }
  std::size_t e = s.size();
  while (e > b) {
    std::size_t start = e - 1;
    // Step back to the first byte of the last sequence (at most 3 back).
    while (start > b && e - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t next = start;
    char32_t c = wtf8_next(s, next);
    if (next != e) {  // no complete sequence ends at e: the last byte stands alone
      start = e - 1;
      c = 0xFFFD;
    }
    if (!py_isspace(c)) break;
    e = start;
  }
  return s.substr(b, e - b);
}

std::string py_nfc(std::string_view s) {
  if (ascii_only(s)) return std::string(s);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) throw std::runtime_error(std::string("NFC data unavailable: ") + u_errorName(status));
  icu::UnicodeString u = to_icu(s);
  if (nfc->isNormalized(u, status) && U_SUCCESS(status)) return std::string(s);
  status = U_ZERO_ERROR;
  icu::UnicodeString n = nfc->normalize(u, status);
  if (U_FAILURE(status)) throw std::runtime_error(std::string("NFC normalisation failed: ") + u_errorName(status));
  return from_icu(n);
}

bool py_isprintable(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c < 0x7F;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

std::string py_decode_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad;
    bool truncated;
    std::size_t len = sequence_length(bytes, i, false, bad, truncated);
    if (len) {
      i += len;
      continue;
    }
    auto c = static_cast<unsigned char>(bytes[i]);
    const char* reason = truncated                ? "unexpected end of data"
                         : (c < 0xC2 || c > 0xF4) ? "invalid start byte"
                                                  : "invalid continuation byte";
    char buf[160];
    if (bad == 1)
      std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s", c, i, reason);
    else
      std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode bytes in position %zu-%zu: %s", i, i + bad - 1,
                    reason);
    throw UnicodeDecodeError(buf);
  }
  return std::string(bytes);
}

std::string py_decode_utf8_replace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t bad;
    bool truncated;
    std::size_t len = sequence_length(bytes, i, false, bad, truncated);
    if (len) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return out;
}

}  // namespace tessel
