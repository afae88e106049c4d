// The text helpers on arbitrary bytes: no crash, and the invariants that
// callers rely on.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/levenshtein.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/pyvalues/utf8.h"

using namespace tessel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  if (!utf8_valid(py_decode_utf8_replace(in))) __builtin_trap();
  try {
    py_decode_utf8(in);
  } catch (const UnicodeDecodeError&) {
  }
  py_lower(in);
  py_nfc(in);
  py_isdigit(in);
  py_repr_str(in);
  py_repr_bytes(in);
  std::string_view stripped = py_strip(in);
  if (stripped.size() > in.size() || py_strip(stripped) != stripped) __builtin_trap();
  std::size_t n = py_len(in);
  std::string_view rest = in;
  std::size_t pieces = 0;
  while (!rest.empty()) {
    std::string_view piece = py_slice(rest, 0, 3);
    if (piece.empty()) __builtin_trap();
    rest.remove_prefix(piece.size());
    ++pieces;
  }
  if (pieces != (n + 2) / 3) __builtin_trap();
  py_slice(in, -5, -1);
  try {
    base64_decode(in);
  } catch (const PyValueError&) {
  }
  if (base64_decode(base64_encode(in)) != in) __builtin_trap();
  std::string_view a = in.substr(0, size / 2), b = in.substr(size / 2);
  std::size_t full = levenshtein(a, b);
  if (levenshtein(a, b, 10) != (full <= 10 ? full : 11)) __builtin_trap();
  return 0;
}
