#pragma once
// ast.literal_eval: reads a Python literal without evaluating anything.
#include <string_view>

#include "shared/pyvalues/json.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel {

// Thrown for text that is not an accepted literal; what() says why, e.g.
// "malformed node or string on line 1: true" or
// "invalid syntax (<unknown>, line 1)".
struct LiteralError : PyValueError {
  using PyValueError::PyValueError;
};

// Bracket nesting allowed in a literal (Python's parser stops at 200).
inline constexpr int kLiteralMaxDepth = 200;

// The value of a Python literal: str in either quote style (also triple
// quotes, prefixes r/u/b, every escape, implicit concatenation), bytes, int
// (decimal, 0x, 0o, 0b, with "_"), float, True, False, None, an optional
// sign before a number, tuples, lists, sets (also set()) and dicts, with
// comments and line breaks as Python allows them. Tuples and sets become
// arrays (a set keeps the first of equal members), bytes py_bytes values.
// Everything else is rejected with LiteralError: names such as true, false
// and null, calls, operators, f-strings, and the literals that have no JSON
// form here (complex numbers, Ellipsis, dict keys that are not str).
Json literal_eval(std::string_view source);

}  // namespace tessel
