#pragma once
// Base64 of byte values inside JSON bodies and of the zone values the WAF
// sends.
#include <concepts>
#include <string>
#include <string_view>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core {

// The base64 text of `bytes` (standard alphabet, "=" padding, one line).
std::string b64e(std::string_view bytes, const LogSink& sink);

// The text that base64 `text` encodes, decoded as UTF-8 with every
// undecodable sequence replaced by U+FFFD, so the result is valid UTF-8.
// With `raw` the decoded bytes come back unchanged. Text that is not base64
// (bad padding, non-ASCII characters) is logged (error, "parsing") and gives
// "".
std::string b64d(std::string_view text, bool raw, const LogSink& sink);

// The same for a value as received in a JSON message: a string is decoded as
// above; any other value is logged and gives "".
std::string b64d_value(const Json& value, bool raw, const LogSink& sink);
template <class T>
requires std::same_as<T, Json> std::string b64d(const T& value, bool raw, const LogSink& sink) {
  return b64d_value(value, raw, sink);
}

}  // namespace tessel::core
