#pragma once
// Row types of the generated tables (tables.inc, made by gen_tables.py).
#include <cmath>
#include <string_view>

namespace pyvalues_tables {
using namespace std::string_view_literals;

struct StrCase {
  std::string_view in, out;
};
struct FloatCase {
  double x;
  std::string_view repr;
};
struct CpRange {
  char32_t lo, hi;
};
struct LowerCase {
  char32_t cp;
  std::string_view lower;
};
struct BoolCase {
  std::string_view in;
  bool value;
};
struct DecodeCase {
  std::string_view bytes, strict;  // strict: the text or the error text
  bool ok;
  std::string_view replaced;
};
struct SliceCase {
  std::string_view s;
  long start, stop;
  std::string_view out;
};
struct B64Case {
  std::string_view text, error;
  bool ok;
  std::string_view bytes;
};

struct JsonCase {
  std::string_view text;
  bool strict, ok;
  std::string_view repr;  // repr() of the value, or the error text
  std::string_view dumps, dumps_sorted;
};
struct EqualCase {
  std::string_view a, b;
  bool equal;
};

struct LiteralCase {
  std::string_view source;
  bool ok;
  std::string_view repr;  // of the value with tuples and sets as lists
};
struct LevCase {
  std::string_view a, b;
  std::size_t distance;
};

#include "tables.inc"

}  // namespace pyvalues_tables
