// literal_eval on arbitrary input; the repr() of what it accepts is itself a
// literal that reads back to the same value.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "shared/pyvalues/literal_eval.h"
#include "shared/pyvalues/pyjson.h"

using namespace tessel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  Json v;
  try {
    v = literal_eval(in);
  } catch (const std::exception&) {
    return 0;
  }
  std::string repr = py_repr(v);
  if (repr.find("inf") == std::string::npos && py_repr(literal_eval(repr)) != repr) __builtin_trap();
  try {
    json_dumps(v);  // bytes values have no JSON form
  } catch (const PyValueError&) {
  }
  return 0;
}
