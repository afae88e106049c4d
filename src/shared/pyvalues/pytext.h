#pragma once
// Text operations with the meaning Python's str methods give them.
//
// Text is held as UTF-8 in std::string. Values decoded from JSON or Python
// literals may hold lone surrogates (U+D800..U+DFFF, written "\ud800" in the
// source); they are kept as their 3-byte generalised UTF-8 form (WTF-8), so
// they survive a round trip and sort by code point. Every function here reads
// that form; a byte that starts no sequence counts as one U+FFFD.
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessel {

// Decodes the code point at s[i] (lone surrogates included) and advances i.
char32_t wtf8_next(std::string_view s, std::size_t& i);
std::u32string wtf8_to_u32(std::string_view s);

// len(s): the number of code points.
std::size_t py_len(std::string_view s);
// s[start:stop] in code points, with Python's negative indices and clamping.
// The result views s. To cut a long text into pieces of n code points, take
// py_slice(rest, 0, n) and drop that many bytes from rest: linear overall.
inline constexpr std::ptrdiff_t kPyEnd = std::numeric_limits<std::ptrdiff_t>::max();
std::string_view py_slice(std::string_view s, std::ptrdiff_t start, std::ptrdiff_t stop = kPyEnd);

// str.lower(): the full Unicode mapping, final sigma included
// ("İ" gives "i̇", "ΟΔΟΣ" gives "οδος").
std::string py_lower(std::string_view s);
// str.isdigit(): non-empty and every code point of numeric type Decimal or
// Digit ("²" and "٣" count, "½" does not).
bool py_isdigit(std::string_view s);
// str.isspace() for one code point and for a text (non-empty, all white).
bool py_isspace(char32_t c);
bool py_isspace(std::string_view s);
// str.strip() with no argument: the view without leading and trailing white
// space of Python's set.
std::string_view py_strip(std::string_view s);
// unicodedata.normalize("NFC", s).
std::string py_nfc(std::string_view s);
// str.isprintable() for one code point (the test repr() escapes by).
bool py_isprintable(char32_t c);

// bytes.decode("utf-8"): the text, or UnicodeDecodeError with Python's
// message ("'utf-8' codec can't decode byte 0xff in position 0: invalid
// start byte"). Surrogates are rejected, as Python does.
struct UnicodeDecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
std::string py_decode_utf8(std::string_view bytes);
// bytes.decode("utf-8", "replace"): each maximal ill-formed subsequence
// becomes one U+FFFD, as Python does.
std::string py_decode_utf8_replace(std::string_view bytes);

}  // namespace tessel
