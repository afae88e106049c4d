#pragma once
// Python's view of JSON-like values: str(), repr(), truth, int() and ==.
//
// Values are Json (insertion-ordered dicts). The Python types map as
//   None -> null, bool -> boolean, float -> number_float,
//   int -> number_integer, or number_unsigned above INT64_MAX, or, beyond
//          64 bits, a "big int": a binary value with subtype kPyBigIntSubtype
//          holding the decimal digits (see py_is_int / py_bigint_text),
//   str -> string (UTF-8; lone surrogates in their 3-byte form),
//   bytes -> binary without that subtype (py_bytes),
//   list, tuple, set -> array (repr shows a list; py_repr_tuple prints a
//          tuple form when the caller knows it holds one),
//   dict with str keys -> object.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shared/pyvalues/json.h"

namespace tessel {

// Nesting bound of every reader, writer and walker of values: deeper input
// fails cleanly instead of exhausting the stack.
inline constexpr int kPyMaxDepth = 1000;

// Python's limit on the decimal digits of an int (sys.int_info).
inline constexpr std::size_t kPyMaxIntDigits = 4300;

// A Python ValueError/TypeError; what() is the text Python would show.
struct PyValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr std::uint64_t kPyBigIntSubtype = 0x49;

Json py_bytes(std::string_view data);
bool py_is_bytes(const Json& v);
std::string_view py_bytes_view(const Json& v);  // the bytes of py_bytes values

bool py_is_bigint(const Json& v);
std::string py_bigint_text(const Json& v);  // signed decimal digits
// An int, not a bool: number_integer, number_unsigned or big int.
bool py_is_int(const Json& v);
// Builds an int from ASCII digits in `base` (2, 8, 10 or 16; no sign, no
// underscores): a 64-bit number when it fits, else a big int. Throws
// PyValueError beyond kPyMaxIntDigits decimal digits.
Json py_make_int(std::string_view digits, int base = 10, bool negative = false);

// float(text) of a decimal number text ([-]digits[.digits][e[+-]digits],
// no underscores): correctly rounded; too large gives inf, too small 0.0.
double py_float_from_text(std::string_view text);

// Builds a dict member by member, as a dict display does: a repeated key
// keeps its first place and takes the last value. Constant time per member,
// also for large dicts (a Json object finds keys by linear search).
class PyDictBuilder {
 public:
  using Members = std::vector<std::pair<std::string, Json>>;
  PyDictBuilder() : members_(own_) {}
  // Gathers the members in `scratch`, which take() leaves empty with its
  // room kept: a caller building many dicts allocates it once.
  explicit PyDictBuilder(Members& scratch) : members_(scratch) { members_.clear(); }
  PyDictBuilder(const PyDictBuilder&) = delete;
  PyDictBuilder& operator=(const PyDictBuilder&) = delete;

  void put(std::string key, Json value);
  Json take();

 private:
  Members own_;
  Members& members_;
  std::unordered_map<std::string, std::size_t> index_;  // filled once members_ is large
};

// Python's type name: "NoneType", "bool", "int", "float", "str", "bytes",
// "list", "dict".
const char* py_type_name(const Json& v);

std::string py_repr(const Json& v);
// str(v): a str is itself, everything else its repr.
std::string py_str(const Json& v);
std::string py_repr_str(std::string_view s);
std::string py_repr_bytes(std::string_view b);
std::string py_repr_float(double d);
// repr of a tuple holding the elements of `items`: "()", "(1,)", "(1, 'a')".
std::string py_repr_tuple(const Json& items);

// bool(v): None, False, 0, 0.0, "", b"", [] and {} are false.
bool py_truthy(const Json& v);

// The integer conversion of request fields: an int unchanged, a float
// truncated toward zero, a bool as 1 or 0, a text holding an optionally
// signed run of ASCII digits with white space around it. Anything else, and
// a result outside int64, throws PyValueError.
std::int64_t py_int(const Json& v);

// v == w in Python: 1 == 1.0 == True, dicts compare without regard to order,
// NaN equals nothing, str never equals bytes.
bool py_equal(const Json& v, const Json& w);

}  // namespace tessel
