#include "ingestor/detail.h"

#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pytext.h"

namespace tessel::ingestor {

Json parse_json_body(std::string_view body) { return json_loads_bytes(body); }

bool is_unlock_request(const Json& msg) {
  auto it = msg.find("request_type");
  if (it == msg.end() || !it->is_string()) return false;
  const auto& t = it->get_ref<const std::string&>();
  return t == "captcha" || t == "antibot";
}

std::string body_text(std::string_view body) {
  constexpr std::size_t kMax = 2048;
  const bool cut = body.size() > kMax;
  std::string text = py_decode_utf8_replace(cut ? body.substr(0, kMax) : body);
  if (cut) text += "...";
  return text;
}

}  // namespace tessel::ingestor
