#include "shared/runtime/request.h"

#include <stdexcept>

namespace tessel {

namespace {
template <class R>
auto zone_field_of(R& r, std::string_view name) -> decltype(&r.url) {
  if (name == "url") return &r.url;
  if (name == "args") return &r.args;
  if (name == "cookie") return &r.cookie;
  if (name == "ua") return &r.ua;
  if (name == "referer") return &r.referer;
  if (name == "other_headers") return &r.other_headers;
  if (name == "body") return &r.body;
  return nullptr;
}
}  // namespace

std::string* zone_field(RequestRecord& r, std::string_view name) { return zone_field_of(r, name); }
const std::string* zone_field(const RequestRecord& r, std::string_view name) { return zone_field_of(r, name); }

const std::vector<std::string>& request_record_columns() {
  static const std::vector<std::string> cols = {
      "id",   "bt",           "lm",    "timestamp",   "request_id",    "request_type",
      "mz",   "ip",           "vhost", "port",        "method",        "url",
      "args", "cookie",       "ua",    "referer",     "other_headers", "body",
      "cc",   "content-type", "jbody", "status_code", "orig_zone_data"};
  return cols;
}

Json record_to_json(const RequestRecord& r) {
  Json o = Json::object();
  o["id"] = r.id;
  o["bt"] = r.bt;
  o["lm"] = r.lm;
  o["timestamp"] = r.timestamp;
  o["request_id"] = r.request_id;
  o["request_type"] = r.request_type;
  o["mz"] = r.mz;
  o["ip"] = r.ip;
  o["vhost"] = r.vhost;
  o["port"] = r.port;
  o["method"] = r.method;
  o["url"] = r.url;
  o["args"] = r.args;
  o["cookie"] = r.cookie;
  o["ua"] = r.ua;
  o["referer"] = r.referer;
  o["other_headers"] = r.other_headers;
  o["body"] = r.body;
  o["cc"] = r.cc;
  o["content-type"] = r.content_type;
  o["jbody"] = r.jbody;
  o["status_code"] = r.status_code;
  Json z = Json::object();
  for (const auto& [k, v] : r.orig_zone_data) z[k] = v;
  o["orig_zone_data"] = std::move(z);
  for (const auto& [k, v] : r.extras.items()) o[k] = v;
  return o;
}

namespace {
std::int64_t int_field(const Json& row, const char* name) {
  auto it = row.find(name);
  if (it == row.end() || it->is_null()) return 0;
  if (!it->is_number_integer()) throw std::invalid_argument(std::string("column ") + name + " is not an integer");
  return it->get<std::int64_t>();
}
std::string text_field(const Json& row, const char* name) {
  auto it = row.find(name);
  if (it == row.end() || it->is_null()) return {};
  if (!it->is_string()) throw std::invalid_argument(std::string("column ") + name + " is not text");
  return it->get<std::string>();
}
Json json_field(const Json& row, const char* name) {
  auto it = row.find(name);
  return it == row.end() ? Json() : *it;
}
}  // namespace

RequestRecord record_from_json(const Json& row) {
  if (!row.is_object()) throw std::invalid_argument("a request row must be an object");
  RequestRecord r;
  r.id = text_field(row, "id");
  r.bt = int_field(row, "bt");
  r.lm = json_field(row, "lm");
  r.timestamp = int_field(row, "timestamp");
  r.request_id = json_field(row, "request_id");
  r.request_type = json_field(row, "request_type");
  r.mz = json_field(row, "mz");
  r.ip = json_field(row, "ip");
  r.vhost = json_field(row, "vhost");
  r.port = int_field(row, "port");
  r.method = json_field(row, "method");
  r.url = text_field(row, "url");
  r.args = text_field(row, "args");
  r.cookie = text_field(row, "cookie");
  r.ua = text_field(row, "ua");
  r.referer = text_field(row, "referer");
  r.other_headers = text_field(row, "other_headers");
  r.body = text_field(row, "body");
  r.cc = text_field(row, "cc");
  r.content_type = text_field(row, "content-type");
  r.jbody = text_field(row, "jbody");
  r.status_code = int_field(row, "status_code");
  if (auto it = row.find("orig_zone_data"); it != row.end() && it->is_object()) {
    for (const auto& [k, v] : it->items()) r.orig_zone_data.emplace_back(k, v);
  }
  const auto& cols = request_record_columns();
  for (const auto& [k, v] : row.items()) {
    bool known = false;
    for (const auto& c : cols) {
      if (c == k) {
        known = true;
        break;
      }
    }
    if (!known) r.extras[k] = v;
  }
  return r;
}

Json table_to_json(const RequestTable& t) {
  Json rows = Json::array();
  for (const auto& r : t) rows.push_back(record_to_json(r));
  return rows;
}

Json table_to_json(const RequestTable& t, const std::vector<std::string>& without) {
  Json rows = Json::array();
  for (const auto& r : t) {
    Json row = record_to_json(r);
    for (const auto& c : without) row.erase(c);
    rows.push_back(std::move(row));
  }
  return rows;
}

RequestTable table_from_json(const Json& rows) {
  if (!rows.is_array()) throw std::invalid_argument("a request table must be an array of rows");
  RequestTable t;
  t.reserve(rows.size());
  for (const auto& row : rows) t.push_back(record_from_json(row));
  return t;
}

}  // namespace tessel
