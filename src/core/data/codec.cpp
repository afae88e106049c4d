#include "core/data/codec.h"

#include <exception>

#include "core/base/log.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::core {
namespace {

void log_failure(const LogSink& sink, std::string_view what) {
  log_processing(sink, "error", "parsing", "An error occurred while decoding base64 data: " + std::string(what));
}

}  // namespace

std::string b64e(std::string_view bytes, const LogSink& /*sink*/) { return base64_encode(bytes); }

std::string b64d(std::string_view text, bool raw, const LogSink& sink) {
  try {
    std::string bytes = base64_decode(text);
    return raw ? bytes : py_decode_utf8_replace(bytes);
  } catch (const std::exception& e) {
    log_failure(sink, e.what());
    return {};
  }
}

std::string b64d_value(const Json& value, bool raw, const LogSink& sink) {
  if (value.is_string()) return b64d(value.get_ref<const std::string&>(), raw, sink);
  log_failure(sink,
              std::string("argument should be a bytes-like object or ASCII string, not '") + py_type_name(value) + "'");
  return {};
}

}  // namespace tessel::core
