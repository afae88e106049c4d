#pragma once
// JSON text in and out with the rules of Python's json module.
//
// Reading: NaN, Infinity and -Infinity are numbers; a number with a fraction
// or an exponent is a float, any other an int (beyond 64 bits a big int, see
// pyvalue.h); of repeated object keys the last value wins at the first key's
// place; "\ud800"-style lone surrogates are kept (see pytext.h); white space
// is " \t\n\r" only; nesting deeper than kPyMaxDepth fails cleanly.
// Writing: json.dumps with its defaults: ", " and ": " separators, every
// character outside printable ASCII as a lower-case \u escape (surrogate pairs
// beyond U+FFFF), floats as repr(), NaN and Infinity as such.
#include <cstddef>
#include <string>
#include <string_view>

#include "shared/pyvalues/json.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel {

// json.JSONDecodeError; what() is Python's text, such as
// "Expecting ',' delimiter: line 1 column 7 (char 6)". Positions count code
// points, as Python's do.
struct JsonDecodeError : PyValueError {
  JsonDecodeError(std::string msg, std::size_t pos, std::size_t lineno, std::size_t colno);
  std::string msg;
  std::size_t pos, lineno, colno;
};

// json.loads(text, strict=strict). With strict false (the lenient mode),
// control characters below U+0020 may stand unescaped inside strings. Text
// that is not UTF-8 fails. Throws JsonDecodeError, or PyValueError for an
// int beyond 4300 digits or a nesting beyond kPyMaxDepth.
Json json_loads(std::string_view text, bool strict = true);

// json.loads(data) of bytes: UTF-8 (a leading BOM skipped), UTF-16 or UTF-32
// as Python detects them, lone surrogates passed through. A decoding failure
// throws UnicodeDecodeError (pytext.h).
Json json_loads_bytes(std::string_view data, bool strict = true);

// json.dumps(v, sort_keys=sort_keys). Keys sort by code point. Bytes values
// have no JSON form and throw PyValueError, as does nesting beyond
// kPyMaxDepth.
std::string json_dumps(const Json& v, bool sort_keys = false);

}  // namespace tessel
