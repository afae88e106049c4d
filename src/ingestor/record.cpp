#include <algorithm>
#include <array>
#include <stdexcept>

#include "core/base/log.h"
#include "core/base/util.h"
#include "core/data/columns.h"
#include "core/data/request_data.h"
#include "ingestor/ingestor.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/pyvalues/utf8.h"
#include "shared/runtime/uuid.h"

namespace tessel::ingestor {

namespace {

// A missing field fails the message with std::out_of_range whose text is
// the quoted field name, e.g. 'vhost'.
Json& field(Json& msg, const std::string& name) {
  auto it = msg.find(name);
  if (it == msg.end()) throw std::out_of_range("'" + name + "'");
  return *it;
}

// A zone value as received (base64 text) to its text; bytes that are not
// UTF-8 become U+FFFD. Anything that is not base64 text fails the message.
void decode_zone(const Json& value, std::string& text) {
  if (!value.is_string()) {
    throw PyValueError(std::string("argument should be a bytes-like object or ASCII string, not '") +
                       py_type_name(value) + "'");
  }
  base64_decode(value.get_ref<const std::string&>(), text);
  if (!utf8_valid(text)) text = py_decode_utf8_replace(text);
}

// The seven record zones, in record order.
enum Zone { kUrl, kArgs, kCookie, kUa, kReferer, kOtherHeaders, kBody, kZoneCount };
constexpr std::array<const char*, kZoneCount> kZoneNames = {"url",     "args",          "cookie", "ua",
                                                            "referer", "other_headers", "body"};

// The media type of the last "content-type:" line (name and colon joined)
// of normalised header lines, lower-cased; "" when there is none.
std::string content_type_of(std::string_view other_headers) {
  std::string_view last;
  bool found = false;
  std::size_t pos = 0;
  for (;;) {
    const auto cut = other_headers.find("\r\n", pos);
    std::string_view piece = py_strip(other_headers.substr(pos, cut == std::string_view::npos ? cut : cut - pos));
    // Only ASCII letters lower-case into "content-type:", so an ASCII test
    // of the stripped line decides as lower() would.
    if (core::detail::ascii_istarts_with(piece, "content-type:")) {
      last = piece;
      found = true;
    }
    if (cut == std::string_view::npos) break;
    pos = cut + 2;
  }
  if (!found) return {};
  const std::string lowered = py_lower(last);
  std::string_view value = lowered;
  value = value.substr(value.find(':') + 1);
  value = value.substr(0, value.find(':'));
  value = py_strip(value);
  value = py_strip(value.substr(0, value.find(';')));
  return std::string(value);
}

}  // namespace

std::optional<RequestRecord> request_record_from_message(Json msg, const core::B64Whitelist& b64wl,
                                                         const LogSink& sink) {
  if (!msg.is_object())
    throw std::invalid_argument(std::string("'") + py_type_name(msg) + "' object has no attribute 'get'");
  RequestRecord r;

  // The fields are checked in place and move into the record once the
  // message is known to give one.
  auto rt = msg.find("request_type");
  Json& request_id = field(msg, "request_id");
  if (!py_truthy(request_id)) {
    core::log_processing(sink, "error", "dyn",
                         "An error occurred while processing data from Corvane WAF: request_id is empty");
    return std::nullopt;
  }
  Json& vhost = field(msg, "vhost");
  if (!py_truthy(vhost)) {
    Json log_item = Json::object();
    for (const auto& [k, v] : msg.items()) {
      if (k != "args" && k != "body" && k != "cookie" && k != "ua" && k != "referer" && k != "other_headers")
        log_item[k] = v;
    }
    core::log_processing(
        sink, "error", "dyn",
        "An error occurred while processing data from Corvane WAF: vhost is empty (" + py_repr(log_item) + ")");
    return std::nullopt;
  }
  auto port = msg.find("port");
  r.port = port == msg.end() ? 0 : py_int(*port);
  if (r.port == 0) {
    core::log_processing(
        sink, "error", "dyn",
        "An incorrect port has been received from Corvane WAF: " + py_str(port == msg.end() ? Json() : *port));
  }
  Json& lm = field(msg, "lm");
  r.bt = py_int(field(msg, "blocked"));
  Json& mz = field(msg, "mz");
  r.timestamp = py_int(field(msg, "timestamp"));
  Json& ip = field(msg, "ip");
  if (!py_truthy(ip)) {
    core::log_processing(sink, "error", "dyn", "An error occurred while processing data from Corvane WAF: ip is empty");
    return std::nullopt;
  }
  Json& method = field(msg, "method");
  r.status_code = py_int(field(msg, "status_code"));
  if (rt != msg.end()) r.request_type = std::move(*rt);
  r.request_id = std::move(request_id);
  r.vhost = std::move(vhost);
  r.lm = std::move(lm);
  r.mz = std::move(mz);
  r.ip = std::move(ip);
  r.method = std::move(method);

  // Decoded zones, in buffers each thread keeps for its next messages; a
  // record field that the zone list does not name is read as received.
  thread_local std::array<std::string, kZoneCount> text;
  std::array<bool, kZoneCount> decoded{};
  const bool ws = r.request_type.is_string() && r.request_type.get_ref<const std::string&>() == "ws";
  const auto& zones = core::zones();
  r.orig_zone_data.reserve(zones.size());
  for (const auto& z : zones) {
    Json& value = field(msg, z);
    const bool blank = ws && z != "url" && z != "body";
    int i = 0;
    while (i < kZoneCount && z != kZoneNames[i]) ++i;
    if (i < kZoneCount) {
      if (blank) {
        text[i].clear();
      } else {
        decode_zone(value, text[i]);
      }
      decoded[i] = true;
    } else if (!blank) {
      std::string unused;
      decode_zone(value, unused);
    }
    r.orig_zone_data.emplace_back(z, std::move(value));
  }
  for (int i = 0; i < kZoneCount; ++i) {
    if (decoded[i]) continue;
    const Json& value = field(msg, kZoneNames[i]);
    if (!value.is_string()) throw std::invalid_argument(std::string(kZoneNames[i]) + " is not text");
    text[i] = value.get_ref<const std::string&>();
  }

  const std::string& body_text = text[kBody];
  const std::string boundary =
      body_text.empty() ? std::string() : core::get_boundary(body_text, text[kOtherHeaders], sink);
  auto norm = [&](Zone z) { return core::req_data_normalization(kZoneNames[z], text[z], boundary, b64wl, sink); };
  r.url = norm(kUrl);
  if (std::all_of(r.url.begin(), r.url.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    std::transform(r.url.begin(), r.url.end(), r.url.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  } else {
    r.url = py_lower(r.url);
  }
  r.args = norm(kArgs);
  r.cookie = norm(kCookie);
  r.ua = norm(kUa);
  r.referer = norm(kReferer);
  r.other_headers = norm(kOtherHeaders);
  try {
    r.content_type = content_type_of(r.other_headers);
  } catch (const std::exception& e) {
    core::log_processing(
        sink, "error", "dyn",
        "An error occurred while extracting content-type from headers " + r.other_headers + ": " + e.what());
    r.content_type.clear();
  }
  r.body = norm(kBody);
  const std::size_t body_size = py_len(r.body) / 1048576;
  if (core::is_json(body_text)) r.jbody = body_text;
  r.id = uuid4_hex();
  // A large zone's room is not kept for the next message.
  constexpr std::size_t kKeptBytes = std::size_t{256} * 1024;
  for (auto& t : text)
    if (t.capacity() > kKeptBytes) std::string().swap(t);
  // cc stays "" until the detector feeder fills it.
  if (sink.debug && body_size > 9) {
    const std::string ct = r.content_type.empty() ? std::string() : " (" + r.content_type + ")";
    core::log_processing(sink, "warn", "dyn",
                         "Request " + r.id + " with large body data (" + std::to_string(body_size) +
                             "MB) has been received: " + py_str(r.vhost) + r.url + ct);
  }
  return std::optional<RequestRecord>(std::move(r));
}

}  // namespace tessel::ingestor
