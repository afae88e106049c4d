#include "core/data/local_copy.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/base/log.h"
#include "core/base/util.h"
#include "shared/runtime/fileio.h"

namespace tessel::core::detail {

namespace {
constexpr int kVersion = 1;
}

void save_local_copy(const std::string& path, std::string_view format, const std::string& hash, std::string_view key,
                     const Json& value) {
  Json doc = Json::object();
  doc["format"] = format;
  doc["version"] = kVersion;
  doc["hash"] = hash;
  doc[std::string(key)] = value;
  write_file_atomic(path, doc.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
}

std::optional<LocalCopy> load_local_copy(const std::string& path, std::string_view format, std::string_view key,
                                         std::string* why, bool* missing) {
  std::string err;
  auto text = read_whole_file(path, &err);
  if (missing) {
    struct stat st {};
    *missing = !text && ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
  }
  if (!text) {
    if (why) *why = err;
    return std::nullopt;
  }
  Json doc = Json::parse(*text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    if (why) *why = "not a JSON object";
    return std::nullopt;
  }
  if (doc.value("format", Json()) != format || doc.value("version", Json()) != kVersion) {
    if (why) *why = "unknown format";
    return std::nullopt;
  }
  auto it = doc.find(key);
  if (it == doc.end()) {
    if (why) *why = "no \"" + std::string(key) + "\" entry";
    return std::nullopt;
  }
  LocalCopy c;
  if (auto h = doc.find("hash"); h != doc.end() && h->is_string()) c.hash = h->get<std::string>();
  c.value = std::move(*it);
  return c;
}

std::optional<Json> load_entry(const std::string& path, std::string_view format, std::string_view key,
                               Json::value_t type, const LogSink& sink, bool* missing) {
  std::string why;
  bool absent = false;
  auto copy = load_local_copy(path, format, key, &why, &absent);
  if (missing) *missing = absent;
  if (copy && copy->value.type() == type) return std::move(copy->value);
  if (!absent)
    log_processing(sink, "error", "os",
                   "An error occurred while loading file " + path + ": " +
                       (copy ? "\"" + std::string(key) + "\" is not a " + copy->value.type_name() : why));
  return std::nullopt;
}

bool store_reply(const std::optional<Json>& reply, const std::string& url, const std::string& path,
                 std::string_view format, std::string_view key,
                 const std::function<std::optional<Json>(const Json&)>& clean, const LogSink& sink) {
  if (!reply || reply->value("status", Json()) != "success") return false;
  std::optional<Json> value;
  if (auto it = reply->find(key); it != reply->end()) value = clean(*it);
  if (!value) {
    log_processing(sink, "error", "api",
                   "An error occurred while receiving data from " + url + ": the reply holds no usable \"" +
                       std::string(key) + "\"");
    return false;
  }
  std::string hash;
  if (auto h = reply->find("hash"); h != reply->end() && !h->is_null()) hash = json_text(*h);
  try {
    if (format.empty()) {
      write_file_atomic(path, value->dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
    } else {
      save_local_copy(path, format, hash, key, *value);
    }
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", "An error occurred while saving file " + path + ": " + e.what());
    return false;
  }
  return true;
}

}  // namespace tessel::core::detail
