#include "shared/pyvalues/pyjson.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "shared/pyvalues/percent.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/utf8.h"
#include "shared/pyvalues/value_writer.h"

namespace tessel {
namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Members of the objects being read, one list per nesting level, kept by
// each thread: reading many messages allocates them once. A list that grew
// past kKeptMembers is let go after its object.
constexpr std::size_t kKeptMembers = 256;

PyDictBuilder::Members& object_members(int depth) {
  thread_local std::deque<PyDictBuilder::Members> levels;
  while (levels.size() < static_cast<std::size_t>(depth)) levels.emplace_back();
  return levels[static_cast<std::size_t>(depth) - 1];
}

class Reader {
 public:
  Reader(std::string_view s, bool strict) : s_(s), strict_(strict) {}

  Json decode() {
    std::size_t i = skip_ws(0);
    Json v = scan(i);
    i = skip_ws(i);
    if (i != s_.size()) fail("Extra data", i);
    return v;
  }

 private:
  std::string_view s_;
  bool strict_;
  int depth_ = 0;

  std::size_t skip_ws(std::size_t i) const {
    while (i < s_.size() && is_ws(s_[i])) ++i;
    return i;
  }

  [[noreturn]] void fail(const char* msg, std::size_t byte_pos) const {
    std::string_view before = s_.substr(0, byte_pos);
    std::size_t pos = py_len(before);
    std::size_t nl = before.rfind('\n');
    std::size_t lineno = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n')) + 1;
    std::size_t colno = nl == std::string_view::npos ? pos + 1 : pos - py_len(s_.substr(0, nl));
    throw JsonDecodeError(msg, pos, lineno, colno);
  }

  bool has(std::size_t i, std::string_view word) const { return s_.substr(i, word.size()) == word; }

  // One value at i (Python's scan_once); i moves past it.
  Json scan(std::size_t& i) {
    if (i >= s_.size()) fail("Expecting value", i);
    switch (s_[i]) {
      case '"': {
        std::string str;
        i = scan_string(i + 1, str);
        return Json(std::move(str));
      }
      case '{':
      case '[': {
        if (++depth_ > kPyMaxDepth)
          throw PyValueError(std::string("maximum recursion depth exceeded while decoding a JSON ") +
                             (s_[i] == '{' ? "object" : "array") + " from a unicode string");
        Json v = s_[i] == '{' ? scan_object(i) : scan_array(i);
        --depth_;
        return v;
      }
      case 'n':
        if (has(i, "null")) return i += 4, Json(nullptr);
        break;
      case 't':
        if (has(i, "true")) return i += 4, Json(true);
        break;
      case 'f':
        if (has(i, "false")) return i += 5, Json(false);
        break;
      case 'N':
        if (has(i, "NaN")) return i += 3, Json(NAN);
        break;
      case 'I':
        if (has(i, "Infinity")) return i += 8, Json(HUGE_VAL);
        break;
      case '-':
        if (has(i, "-Infinity")) return i += 9, Json(-HUGE_VAL);
        break;
      default:
        break;
    }
    return scan_number(i);
  }

  static bool digit(char c) { return c >= '0' && c <= '9'; }

  Json scan_number(std::size_t& i) {
    const std::size_t start = i, n = s_.size();
    std::size_t j = i;
    bool neg = false;
    if (s_[j] == '-') {
      neg = true;
      if (++j >= n) fail("Expecting value", start);
    }
    if (s_[j] >= '1' && s_[j] <= '9') {
      while (++j < n && digit(s_[j])) {
      }
    } else if (s_[j] == '0') {
      ++j;
    } else {
      fail("Expecting value", start);
    }
    const std::size_t int_end = j;
    bool is_float = false;
    if (j + 1 < n && s_[j] == '.' && digit(s_[j + 1])) {
      is_float = true;
      j += 2;
      while (j < n && digit(s_[j])) ++j;
    }
    if (j + 1 < n && (s_[j] == 'e' || s_[j] == 'E')) {
      std::size_t e = j++;
      if (j + 1 < n && (s_[j] == '-' || s_[j] == '+')) ++j;
      std::size_t d = j;
      while (j < n && digit(s_[j])) ++j;
      if (j > d)
        is_float = true;
      else
        j = e;
    }
    i = j;
    if (!is_float) return py_make_int(s_.substr(start + (neg ? 1 : 0), int_end - start - (neg ? 1 : 0)), 10, neg);
    return Json(py_float_from_text(s_.substr(start, j - start)));
  }

  // The string whose first character is at i (after the quote); returns the
  // index after the closing quote.
  std::size_t scan_string(std::size_t i, std::string& out) {
    const std::size_t begin = i - 1, n = s_.size();
    std::size_t end = i;
    for (;;) {
      std::size_t next = end;
      char c = 0;
      while (next < n) {
        c = s_[next];
        if (c == '"' || c == '\\') break;
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20) {
          if (strict_) fail("Invalid control character at", next);
          ++next;
        } else if (u < 0x80) {
          ++next;
        } else {
          std::size_t k = next;
          if (wtf8_next(s_, k) == 0xFFFD && !has(next, "\xEF\xBF\xBD")) fail("Invalid UTF-8 byte at", next);
          next = k;
        }
      }
      if (next >= n) fail("Unterminated string starting at", begin);
      out.append(s_.substr(end, next - end));
      if (c == '"') return next + 1;
      ++next;  // past the backslash
      if (next == n) fail("Unterminated string starting at", begin);
      c = s_[next];
      if (c != 'u') {
        end = next + 1;
        switch (c) {
          case '"':
          case '\\':
          case '/':
            out.push_back(c);
            break;
          case 'b':
            out.push_back('\b');
            break;
          case 'f':
            out.push_back('\f');
            break;
          case 'n':
            out.push_back('\n');
            break;
          case 'r':
            out.push_back('\r');
            break;
          case 't':
            out.push_back('\t');
            break;
          default:
            fail("Invalid \\escape", end - 2);
        }
        continue;
      }
      ++next;  // past the 'u'
      end = next + 4;
      if (end >= n) fail("Invalid \\uXXXX escape", next - 1);
      char32_t cp = 0;
      for (; next < end; ++next) {
        int h = hex_digit(s_[next]);
        if (h < 0) fail("Invalid \\uXXXX escape", end - 5);
        cp = (cp << 4) | static_cast<char32_t>(h);
      }
      if (cp >= 0xD800 && cp <= 0xDBFF && end + 6 < n && s_[next] == '\\' && s_[next + 1] == 'u') {
        next += 2;
        end += 6;
        char32_t lo = 0;
        for (; next < end; ++next) {
          int h = hex_digit(s_[next]);
          if (h < 0) fail("Invalid \\uXXXX escape", end - 5);
          lo = (lo << 4) | static_cast<char32_t>(h);
        }
        if (lo >= 0xDC00 && lo <= 0xDFFF)
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        else
          end -= 6;
      }
      utf8_append(out, cp);
    }
  }

  Json scan_array(std::size_t& i) {
    Json arr = Json::array();
    auto& items = arr.get_ref<Json::array_t&>();
    std::size_t j = skip_ws(i + 1);
    if (j >= s_.size() || s_[j] != ']') {
      for (;;) {
        items.push_back(scan(j));
        j = skip_ws(j);
        if (j < s_.size() && s_[j] == ']') break;
        if (j >= s_.size() || s_[j] != ',') fail("Expecting ',' delimiter", j);
        j = skip_ws(j + 1);
      }
    }
    i = j + 1;
    return arr;
  }

  Json scan_object(std::size_t& i) {
    PyDictBuilder::Members& members = object_members(depth_);
    PyDictBuilder dict(members);
    std::size_t j = skip_ws(i + 1);
    if (j >= s_.size() || s_[j] != '}') {
      for (;;) {
        if (j >= s_.size() || s_[j] != '"') fail("Expecting property name enclosed in double quotes", j);
        std::string key;
        j = skip_ws(scan_string(j + 1, key));
        if (j >= s_.size() || s_[j] != ':') fail("Expecting ':' delimiter", j);
        j = skip_ws(j + 1);
        Json value = scan(j);
        dict.put(std::move(key), std::move(value));
        j = skip_ws(j);
        if (j < s_.size() && s_[j] == '}') break;
        if (j >= s_.size() || s_[j] != ',') fail("Expecting ',' delimiter", j);
        j = skip_ws(j + 1);
      }
    }
    i = j + 1;
    Json obj = dict.take();
    if (members.capacity() > kKeptMembers) PyDictBuilder::Members().swap(members);
    return obj;
  }
};

// ------------------------------------------------------------------ bytes

[[noreturn]] void decode_error(const char* codec, std::string_view data, std::size_t pos, std::size_t len,
                               const char* reason) {
  char buf[200];
  if (len == 1)
    std::snprintf(buf, sizeof buf, "'%s' codec can't decode byte 0x%02x in position %zu: %s", codec,
                  static_cast<unsigned char>(data[pos]), pos, reason);
  else
    std::snprintf(buf, sizeof buf, "'%s' codec can't decode bytes in position %zu-%zu: %s", codec, pos, pos + len - 1,
                  reason);
  throw UnicodeDecodeError(buf);
}

// UTF-8 with lone surrogates let through (the "surrogatepass" handler).
std::string decode_utf8_surrogatepass(std::string_view data) {
  if (data.find('\xED') == std::string_view::npos) return py_decode_utf8(data);
  // Check a copy in which every encoded surrogate stands in for a valid
  // sequence of the same length, so error positions stay the same.
  std::string probe(data);
  for (std::size_t i = 0; i + 2 < probe.size(); ++i) {
    auto b1 = static_cast<unsigned char>(probe[i + 1]), b2 = static_cast<unsigned char>(probe[i + 2]);
    if (static_cast<unsigned char>(probe[i]) == 0xED && b1 >= 0xA0 && b1 <= 0xBF && (b2 & 0xC0) == 0x80) {
      probe[i] = '\xEE';
      i += 2;
    }
  }
  py_decode_utf8(probe);
  return std::string(data);
}

std::string decode_utf16(std::string_view data, std::size_t start, bool big_endian, const char* codec) {
  std::string out;
  out.reserve(data.size());
  auto unit = [&](std::size_t p) {
    auto a = static_cast<unsigned char>(data[p]), b = static_cast<unsigned char>(data[p + 1]);
    return static_cast<char32_t>(big_endian ? (a << 8) | b : (b << 8) | a);
  };
  std::size_t i = start;
  for (; i + 1 < data.size(); i += 2) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < data.size()) {
      char32_t lo = unit(i + 2);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        utf8_append(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    utf8_append(out, u);
  }
  if (i < data.size()) decode_error(codec, data, i, 1, "truncated data");
  return out;
}

std::string decode_utf32(std::string_view data, std::size_t start, bool big_endian, const char* codec) {
  std::string out;
  out.reserve(data.size());
  std::size_t i = start;
  for (; i + 3 < data.size(); i += 4) {
    std::uint32_t u = 0;
    for (int k = 0; k < 4; ++k) {
      auto b = static_cast<unsigned char>(data[i + (big_endian ? k : 3 - k)]);
      u = (u << 8) | b;
    }
    if (u > 0x10FFFF) decode_error(codec, data, i, 4, "code point not in range(0x110000)");
    utf8_append(out, u);
  }
  if (i < data.size()) decode_error(codec, data, i, data.size() - i, "truncated data");
  return out;
}

bool is_ascii(std::string_view b) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= b.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, b.data() + i, 8);
    seen |= word;
  }
  for (; i < b.size(); ++i) seen |= static_cast<unsigned char>(b[i]);
  return (seen & 0x8080808080808080ULL) == 0;
}

// bytes.decode(json.detect_encoding(data), "surrogatepass")
std::string decode_json_bytes(std::string_view b) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(b[k]); };
  auto starts = [&](std::string_view p) { return b.substr(0, p.size()) == p; };
  using namespace std::string_view_literals;
  if (starts("\x00\x00\xFE\xFF"sv)) return decode_utf32(b, 4, true, "utf-32-be");
  if (starts("\xFF\xFE\x00\x00"sv)) return decode_utf32(b, 4, false, "utf-32-le");
  if (starts("\xFE\xFF"sv)) return decode_utf16(b, 2, true, "utf-16-be");
  if (starts("\xFF\xFE"sv)) return decode_utf16(b, 2, false, "utf-16-le");
  if (starts("\xEF\xBB\xBF"sv)) return decode_utf8_surrogatepass(b.substr(3));
  if (b.size() >= 4) {
    if (!at(0)) return at(1) ? decode_utf16(b, 0, true, "utf-16-be") : decode_utf32(b, 0, true, "utf-32-be");
    if (!at(1)) return at(2) || at(3) ? decode_utf16(b, 0, false, "utf-16-le") : decode_utf32(b, 0, false, "utf-32-le");
  } else if (b.size() == 2) {
    if (!at(0)) return decode_utf16(b, 0, true, "utf-16-be");
    if (!at(1)) return decode_utf16(b, 0, false, "utf-16-le");
  }
  return decode_utf8_surrogatepass(b);
}

// ---------------------------------------------------------------- writing

const char kHex[] = "0123456789abcdef";

void append_u(std::string& out, char32_t u) {
  out += "\\u";
  for (int k = 3; k >= 0; --k) out.push_back(kHex[(u >> (4 * k)) & 0xF]);
}

void dump_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of plain characters
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    out.append(s.substr(run, i - run));
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          append_u(out, c);
      }
    } else {
      char32_t cp = wtf8_next(s, i);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        append_u(out, 0xD800 | (cp >> 10));
        append_u(out, 0xDC00 | (cp & 0x3FF));
      } else {
        append_u(out, cp);
      }
    }
    run = i;
  }
  out.append(s.substr(run));
  out.push_back('"');
}

// Leaves spelled as JSON text.
struct JsonStyle {
  static constexpr const char* kNull = "null";
  static constexpr const char* kTrue = "true";
  static constexpr const char* kFalse = "false";
  static constexpr const char* kTooDeep = "maximum recursion depth exceeded while encoding a JSON object";
  bool sort;

  void number_float(std::string& out, double d) const {
    if (std::isnan(d))
      out += "NaN";
    else if (std::isinf(d))
      out += d > 0 ? "Infinity" : "-Infinity";
    else
      out += py_repr_float(d);
  }
  void text(std::string& out, std::string_view s) const { dump_string(out, s); }
  void binary(std::string& out, const Json& v) const {
    if (!py_is_bigint(v)) throw PyValueError("Object of type bytes is not JSON serializable");
    out += py_bigint_text(v);
  }
  bool sort_keys() const { return sort; }
};

}  // namespace

JsonDecodeError::JsonDecodeError(std::string m, std::size_t p, std::size_t l, std::size_t c)
    : PyValueError(m + ": line " + std::to_string(l) + " column " + std::to_string(c) + " (char " + std::to_string(p) +
                   ")"),
      msg(std::move(m)),
      pos(p),
      lineno(l),
      colno(c) {}

Json json_loads(std::string_view text, bool strict) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF")
    throw JsonDecodeError("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0, 1, 1);
  return Reader(text, strict).decode();
}

Json json_loads_bytes(std::string_view data, bool strict) {
  // ASCII text that cannot be taken for UTF-16 or UTF-32 decodes to itself:
  // read it in place.
  if (data.size() >= 2 && data[0] != '\0' && data[1] != '\0' && is_ascii(data)) return Reader(data, strict).decode();
  std::string text = decode_json_bytes(data);
  return Reader(text, strict).decode();
}

std::string json_dumps(const Json& v, bool sort_keys) {
  std::string out;
  write_value(out, v, JsonStyle{sort_keys}, 0);
  return out;
}

}  // namespace tessel
