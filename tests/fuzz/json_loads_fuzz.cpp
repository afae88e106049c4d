// The JSON reader on arbitrary input, in both modes; whatever it accepts
// must write out and read back to the same text.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "shared/pyvalues/literal_eval.h"
#include "shared/pyvalues/pyjson.h"

using namespace tessel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  for (bool strict : {true, false}) {
    Json v;
    try {
      v = json_loads(in, strict);
    } catch (const std::exception&) {
      continue;
    }
    std::string text = json_dumps(v);
    if (json_dumps(json_loads(text)) != text) __builtin_trap();
    json_dumps(v, true);
    std::string repr = py_repr(v);
    // repr() is a Python literal, except for the floats inf and nan.
    if (repr.find("inf") == std::string::npos && repr.find("nan") == std::string::npos &&
        py_repr(literal_eval(repr)) != repr)
      __builtin_trap();
  }
  try {
    json_loads_bytes(in);
  } catch (const std::exception&) {
  }
  return 0;
}
