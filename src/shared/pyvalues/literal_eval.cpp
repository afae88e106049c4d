#include "shared/pyvalues/literal_eval.h"

#include <unicode/uchar.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shared/pyvalues/percent.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/utf8.h"

namespace tessel {
namespace {

// A number with a sign in front can take no further sign, even in brackets.
enum class Kind { Number, SignedNumber, Constant, Str, Bytes, Tuple, List, Set, Dict };

struct Node {
  Json value;
  Kind kind;
  bool hashable;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool in_base(char c, int base) {
  switch (base) {
    case 2:
      return c == '0' || c == '1';
    case 8:
      return c >= '0' && c <= '7';
    case 16:
      return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
    default:
      return is_digit(c);
  }
}

// A hash that agrees with py_equal on hashable values (1, 1.0 and True alike).
std::size_t hash_of(const Json& v) {
  if (v.is_boolean() || v.is_number() || py_is_bigint(v)) {
    double d = v.is_boolean()           ? (v.get<bool>() ? 1.0 : 0.0)
               : v.is_number_float()    ? v.get<double>()
               : v.is_number_unsigned() ? static_cast<double>(v.get<std::uint64_t>())
               : v.is_number_integer()  ? static_cast<double>(v.get<std::int64_t>())
                                        : std::strtod(py_bigint_text(v).c_str(), nullptr);
    if (d == 0) d = 0;  // -0.0
    return std::hash<double>{}(d);
  }
  if (v.is_string()) return std::hash<std::string>{}(v.get_ref<const std::string&>()) * 3 + 1;
  if (v.is_binary()) return std::hash<std::string_view>{}(py_bytes_view(v)) * 3 + 2;
  if (v.is_array()) {
    std::size_t h = 0x345678;
    for (const auto& e : v) h = (h ^ hash_of(e)) * 1000003;
    return h;
  }
  return 7;
}

class Parser {
 public:
  explicit Parser(std::string src) : s_(std::move(src)) {}

  Json parse() {
    start_of_source();
    Node n = expr_list('\0');
    skip();
    if (!at_end() && peek() != '\n') unexpected();
    end_of_source();
    return std::move(n.value);
  }

 private:
  std::string s_;
  std::size_t i_ = 0;
  int line_ = 1;
  int depth_ = 0;

  bool at_end() const { return i_ >= s_.size(); }
  char peek(std::size_t k = 0) const { return i_ + k < s_.size() ? s_[i_ + k] : '\0'; }

  [[noreturn]] void syntax(const std::string& what) const {
    throw LiteralError(what + " (<unknown>, line " + std::to_string(line_) + ")");
  }
  [[noreturn]] void malformed(std::string_view what) const {
    throw LiteralError("malformed node or string on line " + std::to_string(line_) + ": " + std::string(what));
  }
  [[noreturn]] void unsupported(const std::string& what) const {
    throw LiteralError(what + " (line " + std::to_string(line_) + ")");
  }
  // Something that does not belong where it stands.
  [[noreturn]] void unexpected() const {
    if (at_end()) syntax("unexpected EOF while parsing");
    char c = peek();
    if (std::string_view("+-*/%@&|^<>=!~.([").find(c) != std::string_view::npos || is_ident(c))
      malformed(std::string(1, c));
    syntax("invalid syntax");
  }

  // Skips blanks, comments and line continuations; line breaks too inside
  // brackets.
  void skip() {
    while (!at_end()) {
      char c = s_[i_];
      if (c == ' ' || c == '\t' || c == '\f') {
        ++i_;
      } else if (c == '#') {
        while (!at_end() && s_[i_] != '\n') ++i_;
      } else if (c == '\\') {
        if (peek(1) != '\n') syntax("unexpected character after line continuation character");
        i_ += 2;
        ++line_;
        if (at_end()) syntax("unexpected EOF while parsing");
      } else if (c == '\n' && depth_ > 0) {
        ++i_;
        ++line_;
      } else {
        return;
      }
    }
  }

  // The indentation of a line start, consumed.
  int indentation() {
    int col = 0;
    while (!at_end()) {
      char c = s_[i_];
      if (c == ' ') {
        ++col;
      } else if (c == '\t') {
        col = (col / 8 + 1) * 8;
      } else if (c == '\f') {
        col = 0;
      } else if (c == '\\' && peek(1) == '\n') {
        ++i_;
        ++line_;
      } else {
        break;
      }
      ++i_;
    }
    return col;
  }

  // Blank lines, comment lines, then the first line of the expression, which
  // must not be indented.
  void start_of_source() {
    for (;;) {
      int col = indentation();
      if (at_end()) syntax(col > 0 ? "unexpected indent" : "invalid syntax");
      if (peek() == '#') {
        while (!at_end() && s_[i_] != '\n') ++i_;
        if (at_end()) syntax("invalid syntax");
      }
      if (peek() == '\n') {
        ++i_;
        ++line_;
        continue;
      }
      if (col > 0) syntax("unexpected indent");
      return;
    }
  }

  // After the expression's line: only blank and comment lines.
  void end_of_source() {
    while (!at_end()) {  // at a line break
      ++i_;
      ++line_;
      int col = indentation();
      if (at_end()) {
        if (col > 0) syntax("unexpected indent");
        return;
      }
      if (peek() == '#')
        while (!at_end() && s_[i_] != '\n') ++i_;
      if (!at_end() && peek() != '\n') syntax(col > 0 ? "unexpected indent" : "invalid syntax");
    }
  }

  void open_bracket() {
    if (depth_ >= kLiteralMaxDepth) syntax("too many nested parentheses");
    ++depth_;
    ++i_;
  }
  void close_bracket(char closer) {
    skip();
    if (peek() != closer) unexpected();
    --depth_;
    ++i_;
  }

  // Expressions separated by commas: a tuple when there is a comma. The
  // list ends at `closer`, or at the end of the line for the whole source.
  Node expr_list(char closer) {
    Node first = expr();
    skip();
    if (peek() != ',') return first;
    Json items = Json::array();
    bool hashable = first.hashable;
    items.push_back(std::move(first.value));
    while (peek() == ',') {
      ++i_;
      skip();
      if (closer ? peek() == closer : (at_end() || peek() == '\n')) break;
      Node n = expr();
      hashable = hashable && n.hashable;
      items.push_back(std::move(n.value));
      skip();
    }
    return {std::move(items), Kind::Tuple, hashable};
  }

  Node expr() {
    skip();
    char sign = peek();
    if (sign != '+' && sign != '-') return primary();
    ++i_;
    skip();
    Node n = primary();
    if (n.kind != Kind::Number) malformed(std::string(1, sign));
    if (sign == '-') n.value = negate(n.value);
    n.kind = Kind::SignedNumber;
    return n;
  }

  static Json negate(const Json& v) {
    if (v.is_number_float()) return Json(-v.get<double>());
    if (v.is_number_unsigned()) {
      std::uint64_t u = v.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Json(-static_cast<std::int64_t>(u));
      return py_make_int(std::to_string(u), 10, true);
    }
    if (v.is_number_integer()) return Json(-v.get<std::int64_t>());
    return py_make_int(py_bigint_text(v), 10, true);  // big ints here are positive
  }

  Node primary() {
    skip();
    if (at_end()) syntax("unexpected EOF while parsing");
    char c = peek();
    switch (c) {
      case '(': {
        open_bracket();
        skip();
        if (peek() == ')') {
          close_bracket(')');
          return {Json::array(), Kind::Tuple, true};
        }
        Node inner = expr_list(')');
        close_bracket(')');
        return inner;
      }
      case '[':
        return list();
      case '{':
        return dict_or_set();
      case '"':
      case '\'':
        return strings("");
      case '.':
        if (is_digit(peek(1))) return number();
        if (peek(1) == '.' && peek(2) == '.') unsupported("Ellipsis is not supported");
        syntax("invalid syntax");
      default:
        break;
    }
    if (is_digit(c)) return number();
    if (!is_ident(c)) syntax("invalid syntax");
    std::size_t b = i_;
    while (!at_end() && is_ident(s_[i_])) ++i_;
    std::string name = s_.substr(b, i_ - b);
    if (peek() == '"' || peek() == '\'') {
      if (!valid_prefix(name)) syntax("invalid syntax");
      return strings(name);
    }
    if (name == "True" || name == "False") return {Json(name == "True"), Kind::Constant, true};
    if (name == "None") return {Json(nullptr), Kind::Constant, true};
    if (name == "set") {
      skip();
      if (peek() == '(') {
        open_bracket();
        close_bracket(')');
        return {Json::array(), Kind::Set, false};
      }
    }
    malformed(name);
  }

  Node list() {
    open_bracket();
    Json items = Json::array();
    skip();
    while (peek() != ']') {
      items.push_back(expr().value);
      skip();
      if (peek() == ',') {
        ++i_;
        skip();
      } else if (peek() != ']') {
        unexpected();
      }
    }
    close_bracket(']');
    return {std::move(items), Kind::List, false};
  }

  [[noreturn]] void bad_key(const Node& key) const {
    if (!key.hashable) throw LiteralError(std::string("unhashable type: '") + py_type_name(key.value) + "'");
    unsupported("dict keys other than str are not supported: " + py_repr(key.value));
  }

  Node dict_or_set() {
    open_bracket();
    skip();
    if (peek() == '}') {
      close_bracket('}');
      return {Json::object(), Kind::Dict, false};
    }
    Node first = expr();
    skip();
    if (peek() == ':') {
      PyDictBuilder dict;
      Node key = std::move(first);
      for (;;) {
        ++i_;  // the ':'
        Node value = expr();
        if (key.kind != Kind::Str) bad_key(key);
        dict.put(key.value.get<std::string>(), std::move(value.value));
        skip();
        if (peek() != ',') break;
        ++i_;
        skip();
        if (peek() == '}') break;
        key = expr();
        skip();
        if (peek() != ':') unexpected();
      }
      close_bracket('}');
      return {dict.take(), Kind::Dict, false};
    }
    Json items = Json::array();
    std::unordered_multimap<std::size_t, std::size_t> seen;
    auto add = [&](Node n) {
      if (!n.hashable) throw LiteralError(std::string("unhashable type: '") + py_type_name(n.value) + "'");
      std::size_t h = hash_of(n.value);
      auto [b, e] = seen.equal_range(h);
      for (auto it = b; it != e; ++it)
        if (py_equal(items[it->second], n.value)) return;
      seen.emplace(h, items.size());
      items.push_back(std::move(n.value));
    };
    add(std::move(first));
    while (peek() == ',') {
      ++i_;
      skip();
      if (peek() == '}') break;
      add(expr());
      skip();
    }
    close_bracket('}');
    return {std::move(items), Kind::Set, false};
  }

  static bool valid_prefix(const std::string& p) {
    std::string l = p;
    for (char& c : l) c = static_cast<char>(c | 0x20);
    return l == "r" || l == "u" || l == "b" || l == "br" || l == "rb" || l == "f" || l == "fr" || l == "rf";
  }

  // One or more adjacent string literals, the first with `prefix`.
  Node strings(std::string prefix) {
    std::string out;
    int kind = -1;  // 0 str, 1 bytes
    for (;;) {
      bool bytes = false, raw = false;
      for (char c : prefix) {
        char l = static_cast<char>(c | 0x20);
        if (l == 'f') malformed("f-string");
        bytes = bytes || l == 'b';
        raw = raw || l == 'r';
      }
      if (kind >= 0 && kind != (bytes ? 1 : 0)) syntax("cannot mix bytes and nonbytes literals");
      kind = bytes ? 1 : 0;
      literal(out, bytes, raw);
      skip();
      if (peek() == '"' || peek() == '\'') {
        prefix.clear();
        continue;
      }
      std::size_t k = 0;
      while (k < 2 && is_ident(peek(k))) ++k;
      if (k > 0 && (peek(k) == '"' || peek(k) == '\'') && valid_prefix(s_.substr(i_, k))) {
        prefix = s_.substr(i_, k);
        i_ += k;
        continue;
      }
      break;
    }
    if (kind == 1) return {py_bytes(out), Kind::Bytes, true};
    return {Json(std::move(out)), Kind::Str, true};
  }

  void literal(std::string& out, bool bytes, bool raw) {
    const char q = s_[i_];
    const bool triple = peek(1) == q && peek(2) == q;
    i_ += triple ? 3 : 1;
    const int start_line = line_;
    auto unterminated = [&] {
      line_ = start_line;
      syntax(std::string(triple ? "unterminated triple-quoted string literal" : "unterminated string literal") +
             " (detected at line " + std::to_string(line_) + ")");
    };
    auto put_char = [&] {  // one source character, with its UTF-8 tail
      if (bytes && static_cast<unsigned char>(s_[i_]) >= 0x80)
        syntax("bytes can only contain ASCII literal characters");
      std::size_t k = i_;
      utf8_next(s_, k);
      out.append(s_, i_, k - i_);
      i_ = k;
    };
    for (;;) {
      if (at_end()) unterminated();
      char c = s_[i_];
      if (c == q) {
        if (!triple) {
          ++i_;
          return;
        }
        if (peek(1) == q && peek(2) == q) {
          i_ += 3;
          return;
        }
      }
      if (c == '\n') {
        if (!triple) unterminated();
        ++line_;
      }
      if (c != '\\') {
        put_char();
        continue;
      }
      if (i_ + 1 >= s_.size()) unterminated();
      char d = s_[i_ + 1];
      if (raw) {
        out.push_back('\\');
        ++i_;
        if (d == '\n') ++line_;
        put_char();
        continue;
      }
      escape(out, bytes);
    }
  }

  // The escape at i_ (a backslash) in a literal that is not raw.
  void escape(std::string& out, bool bytes) {
    char d = s_[i_ + 1];
    auto put_cp = [&](char32_t cp) {
      if (bytes)
        out.push_back(static_cast<char>(cp & 0xFF));
      else
        utf8_append(out, cp);
    };
    auto hex_digits = [&](std::size_t at, int n) -> long {
      long v = 0;
      for (int k = 0; k < n; ++k) {
        char h = at + k < s_.size() ? s_[at + k] : '\0';
        if (!in_base(h, 16)) return -1;
        v = v * 16 + hex_digit(h);
      }
      return v;
    };
    static const std::string_view kSimple = "\\'\"abfnrtv";
    static const char kSimpleValue[] = {'\\', '\'', '"', '\a', '\b', '\f', '\n', '\r', '\t', '\v'};
    if (d == '\n') {
      i_ += 2;
      ++line_;
      return;
    }
    if (auto k = kSimple.find(d); k != std::string_view::npos) {
      out.push_back(kSimpleValue[k]);
      i_ += 2;
      return;
    }
    if (d >= '0' && d <= '7') {
      std::size_t k = i_ + 1;
      char32_t v = 0;
      for (int n = 0; n < 3 && k < s_.size() && s_[k] >= '0' && s_[k] <= '7'; ++n, ++k) v = v * 8 + (s_[k] - '0');
      put_cp(v);
      i_ = k;
      return;
    }
    if (d == 'x') {
      long v = hex_digits(i_ + 2, 2);
      if (v < 0) syntax(bytes ? "(value error) invalid \\x escape" : "(unicode error) truncated \\xXX escape");
      put_cp(static_cast<char32_t>(v));
      i_ += 4;
      return;
    }
    if (!bytes && (d == 'u' || d == 'U')) {
      int n = d == 'u' ? 4 : 8;
      long v = hex_digits(i_ + 2, n);
      if (v < 0)
        syntax(d == 'u' ? "(unicode error) truncated \\uXXXX escape" : "(unicode error) truncated \\UXXXXXXXX escape");
      if (v > 0x10FFFF) syntax("(unicode error) illegal Unicode character");
      put_cp(static_cast<char32_t>(v));
      i_ += 2 + static_cast<std::size_t>(n);
      return;
    }
    if (!bytes && d == 'N') {
      std::size_t close = s_.find('}', i_ + 3);
      if (peek(2) != '{' || close == std::string::npos || close == i_ + 3)
        syntax("(unicode error) malformed \\N character escape");
      std::string name = s_.substr(i_ + 3, close - i_ - 3);
      UErrorCode status = U_ZERO_ERROR;
      UChar32 cp = u_charFromName(U_UNICODE_CHAR_NAME, name.c_str(), &status);
      if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        cp = u_charFromName(U_CHAR_NAME_ALIAS, name.c_str(), &status);
      }
      if (U_FAILURE(status) || name.find('\n') != std::string::npos)
        syntax("(unicode error) unknown Unicode character name");
      put_cp(static_cast<char32_t>(cp));
      i_ = close + 1;
      return;
    }
    // Not an escape: the backslash stays.
    out.push_back('\\');
    ++i_;
  }

  // digitpart: digits with single underscores between them.
  std::string digit_part(int base, const char* literal_kind) {
    std::string digits;
    if (!in_base(peek(), base)) syntax(std::string("invalid ") + literal_kind + " literal");
    while (!at_end()) {
      if (peek() == '_') {
        if (!in_base(peek(1), base)) syntax(std::string("invalid ") + literal_kind + " literal");
        ++i_;
      }
      if (!in_base(peek(), base)) break;
      digits.push_back(s_[i_++]);
    }
    return digits;
  }

  Node number() {
    if (peek() == '0' && std::string_view("xXoObB").find(peek(1)) != std::string_view::npos && peek(1)) {
      char p = static_cast<char>(peek(1) | 0x20);
      int base = p == 'x' ? 16 : p == 'o' ? 8 : 2;
      const char* kind = p == 'x' ? "hexadecimal" : p == 'o' ? "octal" : "binary";
      i_ += 2;
      if (peek() == '_') ++i_;
      std::string digits = digit_part(base, kind);
      if (is_ident(peek())) syntax(std::string("invalid ") + kind + " literal");
      return {py_make_int(digits, base), Kind::Number, true};
    }
    std::string int_part, frac, exp;
    bool is_float = false;
    if (peek() != '.') int_part = digit_part(10, "decimal");
    if (peek() == '.') {
      is_float = true;
      ++i_;
      if (is_digit(peek())) frac = digit_part(10, "decimal");
    }
    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++i_;
      if (peek() == '+' || peek() == '-') exp.push_back(s_[i_++]);
      exp += digit_part(10, "decimal");
    }
    if (peek() == 'j' || peek() == 'J') unsupported("complex numbers are not supported");
    if (is_ident(peek())) syntax("invalid decimal literal");
    if (!is_float) {
      if (int_part.size() > 1 && int_part[0] == '0' && int_part.find_first_not_of('0') != std::string::npos)
        syntax("leading zeros in decimal integer literals are not permitted; use an 0o prefix for octal integers");
      return {py_make_int(int_part), Kind::Number, true};
    }
    std::string text = (int_part.empty() ? "0" : int_part) + "." + (frac.empty() ? "0" : frac);
    if (!exp.empty()) text += "e" + exp;
    return {Json(py_float_from_text(text)), Kind::Number, true};
  }
};

}  // namespace

Json literal_eval(std::string_view source) {
  if (source.find('\0') != std::string_view::npos) throw LiteralError("source code string cannot contain null bytes");
  try {
    py_decode_utf8(source);
  } catch (const UnicodeDecodeError& e) {
    throw LiteralError(std::string("source code string is not valid UTF-8: ") + e.what());
  }
  // Line breaks as the parser sees them, then lstrip(" \t").
  std::string src;
  src.reserve(source.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '\r') {
      src.push_back('\n');
      if (i + 1 < source.size() && source[i + 1] == '\n') ++i;
    } else {
      src.push_back(source[i]);
    }
  }
  src.erase(0, src.find_first_not_of(" \t") == std::string::npos ? src.size() : src.find_first_not_of(" \t"));
  try {
    return Parser(std::move(src)).parse();
  } catch (const LiteralError&) {
    throw;
  } catch (const PyValueError& e) {  // an int beyond the digit limit
    throw LiteralError(e.what());
  }
}

}  // namespace tessel
