#include "core/local_copy.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "core/fileio.h"

namespace tessel::core::detail {

namespace {
constexpr int kVersion = 1;
}

void save_local_copy(const std::string& path, std::string_view format, const std::string& hash,
                     std::string_view key, const Json& value) {
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
    struct stat st{};
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

}  // namespace tessel::core::detail
