#include "core/data/columns.h"

#include <utility>

#include "shared/runtime/request.h"

namespace tessel::core {

namespace {
std::vector<std::string> with(std::vector<std::string> base, std::initializer_list<const char*> more) {
  for (const char* c : more) base.emplace_back(c);
  return base;
}
}  // namespace

const std::vector<std::string>& zones() {
  static const std::vector<std::string> z = {"url", "args", "cookie", "ua", "referer", "other_headers", "body"};
  return z;
}

const std::vector<std::string>& kv_zone() {
  static const std::vector<std::string> z = {"args", "cookie", "other_headers", "body"};
  return z;
}

const std::vector<std::string>& bin_content_type() {
  static const std::vector<std::string> c = {"image/",
                                             "audio/",
                                             "video/",
                                             "font/",
                                             "application/octet-stream",
                                             "application/zip",
                                             "application/gzip",
                                             "application/pdf",
                                             "application/vnd.ms-",
                                             "application/msword"};
  return c;
}

const std::vector<std::string>& bf_detection_zone() {
  static const std::vector<std::string> z = {"url", "args", "cookie", "other_headers", "body"};
  return z;
}

std::string zone_replace(const std::string& zone) {
  static const std::vector<std::pair<std::string, std::string>> names = {
      {"url", "URL"},       {"args", "ARGS"},       {"cookie", "COOKIE"},
      {"ua", "USER-AGENT"}, {"referer", "REFERER"}, {"other_headers", "HEADERS"},
      {"body", "BODY"}};
  for (const auto& [z, name] : names)
    if (z == zone) return name;
  return zone;
}

const std::string& db_data_table() {
  static const std::string name = "vexa_data";
  return name;
}

std::size_t limit_data_mt() { return 65536; }

const std::vector<std::string>& vexa_columns() {
  static const std::vector<std::string> c = [] {
    std::vector<std::string> cols;
    for (const auto& name : request_record_columns())
      if (name != "orig_zone_data") cols.push_back(name);
    return cols;
  }();
  return c;
}

const std::vector<std::string>& tessel_df_columns() {
  static const std::vector<std::string> c = with(vexa_columns(), {"mz_origin"});
  return c;
}

const std::vector<std::string>& bf_columns() {
  static const std::vector<std::string> c = with(vexa_columns(), {"flood_detect", "zone_detect"});
  return c;
}

const std::vector<std::string>& schemix_columns() {
  static const std::vector<std::string> c = {"request_id",   "vhost", "url",        "method",
                                             "content-type", "body",  "schema_name"};
  return c;
}

}  // namespace tessel::core
