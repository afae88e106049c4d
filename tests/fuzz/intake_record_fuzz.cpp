// Request record normalisation on random input: as a whole message, and as
// the decoded zone values of an otherwise well-formed message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/data/columns.h"
#include "core/data/request_data.h"
#include "ingestor/ingestor.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pytext.h"
#include "shared/runtime/log_sink.h"

using namespace tessel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const LogSink sink{std::make_shared<EventQueue>(), std::make_shared<Logger>("fuzz"), true};
  static const core::B64Whitelist wl{{"token"}};
  const std::string_view in(reinterpret_cast<const char*>(data), size);

  try {
    Json msg = json_loads_bytes(in);
    try {
      ingestor::request_record_from_message(std::move(msg), wl, sink);
    } catch (const std::exception&) {
      // a message that fails is logged by the caller and skipped
    }
  } catch (const std::exception&) {
  }

  // The input cut at NUL bytes into the seven zones of a valid message.
  Json msg = {{"request_id", "r"}, {"vhost", "v"},    {"ip", "1.2.3.4"},    {"lm", 0},   {"blocked", 0}, {"mz", ""},
              {"timestamp", 1},    {"method", "GET"}, {"status_code", 200}, {"port", 80}};
  std::string_view rest = in;
  for (const auto& z : core::zones()) {
    const auto cut = rest.find('\0');
    msg[z] = base64_encode(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  if (size > 0 && data[0] == 'w') msg["request_type"] = "ws";
  try {
    auto r = ingestor::request_record_from_message(std::move(msg), wl, sink);
    if (!r) __builtin_trap();  // every field is present and valid
    (void)record_to_json(*r).dump();
  } catch (const std::exception&) {
    __builtin_trap();
  }
  const std::string text = py_decode_utf8_replace(in);
  (void)core::req_data_decode(text, sink);
  sink.q_ec->drain();
  return 0;
}
