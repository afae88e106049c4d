#include "schemix/key_scan.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tessel::schemix {

namespace {

// Bytes that end the plain run of a string: quote, backslash, non-ASCII.
constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> t{};
  t['"'] = t['\\'] = true;
  for (int c = 0x80; c < 0x100; ++c) t[c] = true;
  return t;
}();

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool in(unsigned char c, unsigned char lo, unsigned char hi) { return c >= lo && c <= hi; }

// One well-formed UTF-8 sequence of two to four bytes at `p` (no surrogates,
// nothing above U+10FFFF, no overlong forms); returns its length or 0.
int utf8_sequence(const char* p, const char* end) {
  const auto b = [&](int i) { return static_cast<unsigned char>(p[i]); };
  const auto n = end - p;
  const unsigned char c = b(0);
  if (in(c, 0xc2, 0xdf)) return n >= 2 && in(b(1), 0x80, 0xbf) ? 2 : 0;
  if (in(c, 0xe0, 0xef)) {
    if (n < 3) return 0;
    const unsigned char lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
    return in(b(1), lo, hi) && in(b(2), 0x80, 0xbf) ? 3 : 0;
  }
  if (in(c, 0xf0, 0xf4)) {
    if (n < 4) return 0;
    const unsigned char lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
    return in(b(1), lo, hi) && in(b(2), 0x80, 0xbf) && in(b(3), 0x80, 0xbf) ? 4 : 0;
  }
  return 0;
}

// Longer numbers are left to the decoder, which limits the digits of an int.
constexpr std::ptrdiff_t kLongestNumber = 1000;

}  // namespace

bool KeyScanner::scan(std::string_view text, std::vector<std::string_view>& keys) {
  p_ = text.data();
  end_ = p_ + text.size();
  nodes_.clear();
  nodes_.push_back(Node{{}, kNone, kNone, kNone, Kind::array});  // holds the body as its one element
  skip_ws();
  if (p_ == end_ || !value_into(0, {}, false, 0)) return false;
  skip_ws();
  if (p_ != end_) return false;
  order_.clear();
  emit(0, keys);
  return true;
}

std::uint32_t KeyScanner::add_child(std::uint32_t parent, std::string_view name, Kind kind) {
  const auto idx = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back(Node{name, kNone, kNone, kNone, kind});
  Node& p = nodes_[parent];
  if (p.first == kNone) {
    p.first = idx;
  } else {
    nodes_[p.last].next = idx;
  }
  p.last = idx;
  return idx;
}

bool KeyScanner::value_into(std::uint32_t parent, std::string_view name, bool member, int depth) {
  if (p_ == end_) return false;
  const char c = *p_;
  if (c == '{' || c == '[') {
    if (depth >= kScanDepth) return false;
    return container(add_child(parent, name, c == '{' ? Kind::object : Kind::array), depth + 1);
  }
  if (member) add_child(parent, name, Kind::scalar);
  switch (c) {
    case '"':
      return string(nullptr, false);
    case 't':
      return literal("true");
    case 'f':
      return literal("false");
    case 'n':
      return literal("null");
    case 'N':
      return literal("NaN");
    case 'I':
      return literal("Infinity");
    default:
      return number();
  }
}

bool KeyScanner::container(std::uint32_t node, int depth) {
  const bool object = *p_ == '{';
  const char close = object ? '}' : ']';
  ++p_;
  skip_ws();
  if (p_ != end_ && *p_ == close) {
    ++p_;
    return true;
  }
  while (true) {
    if (object) {
      std::string_view name;
      if (p_ == end_ || *p_ != '"' || !string(&name, true)) return false;
      skip_ws();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      skip_ws();
      if (!value_into(node, name, true, depth)) return false;
    } else if (!value_into(node, {}, false, depth)) {
      return false;
    }
    skip_ws();
    if (p_ == end_) return false;
    if (*p_ == close) {
      ++p_;
      return true;
    }
    if (*p_ != ',') return false;
    ++p_;
    skip_ws();
  }
}

bool KeyScanner::string(std::string_view* out, bool plain_only) {
  const char* start = ++p_;
  while (true) {
    while (p_ != end_ && !kStringStop[static_cast<unsigned char>(*p_)]) ++p_;
    if (p_ == end_) return false;
    const char c = *p_;
    if (c == '"') {
      if (out) *out = std::string_view(start, static_cast<std::size_t>(p_ - start));
      ++p_;
      return true;
    }
    if (c == '\\') {
      if (plain_only || ++p_ == end_) return false;
      const char e = *p_;
      if (e == 'u') {
        if (end_ - p_ < 5 || !is_hex(p_[1]) || !is_hex(p_[2]) || !is_hex(p_[3]) || !is_hex(p_[4])) return false;
        p_ += 5;
      } else if (std::strchr("\"\\/bfnrt", e) && e != '\0') {
        ++p_;
      } else {
        return false;
      }
      continue;
    }
    const int n = utf8_sequence(p_, end_);
    if (n == 0) return false;
    p_ += n;
  }
}

bool KeyScanner::number() {
  const char* start = p_;
  if (*p_ == '-') {
    ++p_;
    if (p_ != end_ && *p_ == 'I') return literal("Infinity");
  }
  if (p_ == end_ || !is_digit(*p_)) return false;
  if (*p_++ != '0')
    while (p_ != end_ && is_digit(*p_)) ++p_;
  if (p_ != end_ && *p_ == '.') {
    if (++p_ == end_ || !is_digit(*p_)) return false;
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    if (++p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_ || !is_digit(*p_)) return false;
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  return p_ - start <= kLongestNumber;
}

bool KeyScanner::literal(std::string_view word) {
  if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) return false;
  p_ += word.size();
  return true;
}

void KeyScanner::skip_ws() {
  while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
}

// Members in name order, each once (a repeated name keeps its last value),
// the names inside a member's value before its own; array elements in order.
void KeyScanner::emit(std::uint32_t node, std::vector<std::string_view>& keys) {
  if (nodes_[node].kind == Kind::array) {
    for (std::uint32_t c = nodes_[node].first; c != kNone; c = nodes_[c].next)
      if (nodes_[c].kind != Kind::scalar) emit(c, keys);
    return;
  }
  const std::size_t base = order_.size();
  for (std::uint32_t c = nodes_[node].first; c != kNone; c = nodes_[c].next) order_.push_back(c);
  const std::size_t end = order_.size();
  std::stable_sort(order_.begin() + static_cast<std::ptrdiff_t>(base), order_.end(),
                   [this](std::uint32_t a, std::uint32_t b) { return nodes_[a].name < nodes_[b].name; });
  for (std::size_t i = base; i < end; ++i) {
    while (i + 1 < end && nodes_[order_[i + 1]].name == nodes_[order_[i]].name) ++i;
    const std::uint32_t c = order_[i];
    if (nodes_[c].kind != Kind::scalar) emit(c, keys);
    keys.push_back(nodes_[c].name);
  }
  order_.resize(base);
}

}  // namespace tessel::schemix
