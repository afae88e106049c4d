#include "core/data/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "core/base/log.h"
#include "core/base/util.h"
#include "core/data/hosts.h"
#include "core/data/iplist.h"
#include "core/data/local_copy.h"
#include "core/net/api.h"
#include "shared/runtime/fileio.h"

namespace tessel::core {

using detail::json_text;

namespace {

const Json* find_setting(const Json& settings, std::string_view key) {
  if (!settings.is_object()) return nullptr;
  auto it = settings.find(key);
  if (it == settings.end() || it->is_null()) return nullptr;
  return &*it;
}

void warn_value(const LogSink& sink, std::string_view key, const Json& value, const Json& dflt) {
  log_processing(sink, "warn", "settings",
                 "An incorrect value is set for parameter " + std::string(key) + ": " + json_text(value) +
                     ", the value will be used: " + json_text(dflt));
}

std::vector<std::string> split_entries(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i <= text.size()) {
    auto j = text.find_first_of(",\r\n", i);
    if (j == std::string_view::npos) j = text.size();
    auto e = detail::trim(text.substr(i, j - i));
    if (!e.empty()) out.emplace_back(e);
    i = j + 1;
  }
  return out;
}

// A list of texts from a JSON list or a text of entries; nullopt for
// anything else. Non-text entries of a list are reported in `dropped`.
std::optional<std::vector<std::string>> text_list(const Json& v, bool* dropped) {
  if (v.is_string()) return split_entries(v.get_ref<const std::string&>());
  if (!v.is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& e : v) {
    if (e.is_string()) {
      out.push_back(e.get<std::string>());
    } else if (dropped) {
      *dropped = true;
    }
  }
  return out;
}

std::optional<bool> bool_of(const Json& v) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number_integer()) {
    if (v == 1) return true;
    if (v == 0) return false;
    return std::nullopt;
  }
  if (!v.is_string()) return std::nullopt;
  const auto word = detail::ascii_lower(detail::trim(v.get_ref<const std::string&>()));
  if (word == "1" || word == "yes" || word == "true" || word == "on") return true;
  if (word == "0" || word == "no" || word == "false" || word == "off") return false;
  return std::nullopt;
}

// Entries of a white-list file, or nullopt when it cannot be read.
std::optional<std::vector<std::string>> read_list_file(const std::string& path, const LogSink& sink) {
  std::string why;
  auto text = read_whole_file(path, &why);
  if (!text) {
    log_processing(sink, "error", "os", "An error occurred while loading file " + path + ": " + why);
    return std::nullopt;
  }
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < text->size()) {
    auto end = text->find('\n', pos);
    if (end == std::string::npos) end = text->size();
    auto e = detail::trim(std::string_view(*text).substr(pos, end - pos));
    if (!e.empty() && e.front() != '#') out.emplace_back(e);
    pos = end + 1;
  }
  return out;
}

void add_unique(Json& list, const std::string& entry) {
  if (std::find(list.begin(), list.end(), Json(entry)) == list.end()) list.push_back(entry);
}

void add_addresses(Json& out, const std::vector<std::string>& entries, std::string_view source, const LogSink& sink) {
  for (const auto& e : entries) {
    if (IpList::valid(e)) {
      add_unique(out, std::string(detail::trim(e)));
    } else {
      log_processing(sink, "warn", "settings",
                     "An incorrect address is set in white list " + std::string(source) + ": " + e);
    }
  }
}

// The entries of a list setting; nullopt (after a warning) when the setting
// is there but is not a list.
std::optional<std::vector<std::string>> setting_list(const Json& settings, std::string_view key, const LogSink& sink) {
  const Json* v = find_setting(settings, key);
  if (!v) return std::vector<std::string>{};
  bool dropped = false;
  auto list = text_list(*v, &dropped);
  if (!list || dropped) warn_value(sink, key, *v, list ? Json("the text entries") : Json("the current list"));
  return list;
}

}  // namespace

Json param_processing(const Json& dflt, std::string_view type_name, std::string_view key, const Json& asa_settings,
                      const LogSink& sink) {
  const Json* v = find_setting(asa_settings, key);
  if (!v) return dflt;
  if (type_name == "bool") {
    if (auto b = bool_of(*v)) return *b;
    warn_value(sink, key, *v, dflt);
    return dflt;
  }
  if (type_name == "list") {
    bool dropped = false;
    auto list = text_list(*v, &dropped);
    if (!list) {
      warn_value(sink, key, *v, dflt);
      return dflt;
    }
    Json out = Json::array();
    for (auto& e : *list) out.push_back(std::move(e));
    if (dropped) warn_value(sink, key, *v, out);
    return out;
  }
  return *v;
}

bool create_path_file(const std::string& path, const LogSink& sink) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) {
    log_processing(sink, "error", "os", "An error occurred while creating file " + path + ": " + std::strerror(errno));
    return false;
  }
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!regular) log_processing(sink, "error", "os", "An error occurred while creating file " + path + ": not a file");
  return regular;
}

std::pair<Json, Json> ddos_wl_processing(const Json& asa_settings, const std::string& ddos_wl_ip_path,
                                         const std::string& ddos_wl_url_path, const Json& cur_ip_list,
                                         const Json& cur_url_list, const LogSink& sink) {
  Json ips = Json::array(), urls = Json::array();
  bool keep_ips = false, keep_urls = false;
  try {
    if (!ddos_wl_ip_path.empty()) {
      if (auto lines = read_list_file(ddos_wl_ip_path, sink)) {
        add_addresses(ips, *lines, ddos_wl_ip_path, sink);
      } else {
        keep_ips = true;
      }
    }
    if (auto list = setting_list(asa_settings, "ddos__wl_ip", sink)) {
      add_addresses(ips, *list, "ddos__wl_ip", sink);
    } else {
      keep_ips = true;
    }
    std::vector<std::string> url_entries;
    if (!ddos_wl_url_path.empty()) {
      if (auto lines = read_list_file(ddos_wl_url_path, sink)) {
        url_entries = std::move(*lines);
      } else {
        keep_urls = true;
      }
    }
    if (auto list = setting_list(asa_settings, "ddos__wl_url", sink)) {
      url_entries.insert(url_entries.end(), list->begin(), list->end());
    } else {
      keep_urls = true;
    }
    for (const auto& u : url_entries) {
      auto e = detail::ascii_lower(detail::trim(u));
      if (!e.empty()) add_unique(urls, e);
    }
  } catch (const std::exception& e) {
    log_processing(sink, "error", "settings", std::string("An error occurred in ddos_wl_processing: ") + e.what());
    return {cur_ip_list, cur_url_list};
  }
  return {keep_ips ? cur_ip_list : ips, keep_urls ? cur_url_list : urls};
}

std::pair<Json, Json> bf_wl_processing(const Json& asa_settings, const Json& cur_ip_list, const Json& cur_host_list,
                                       const LogSink& sink) {
  try {
    Json ips = cur_ip_list, hosts = cur_host_list;
    if (auto list = setting_list(asa_settings, "brute__wl_ip", sink)) {
      ips = Json::array();
      add_addresses(ips, *list, "brute__wl_ip", sink);
    }
    if (auto list = setting_list(asa_settings, "brute__wl_host", sink)) {
      Json entries = Json::array();
      for (auto& e : *list) entries.push_back(std::move(e));
      hosts = vhosts_list_processing(entries, sink);
    }
    return {ips, hosts};
  } catch (const std::exception& e) {
    log_processing(sink, "error", "settings", std::string("An error occurred in bf_wl_processing: ") + e.what());
    return {cur_ip_list, cur_host_list};
  }
}

}  // namespace tessel::core

// Fetch, store and load of the settings.

namespace tessel::core {

namespace {
constexpr const char* kSettingsFormat = "tessel-settings";

std::string hash_text(const Json& reply) {
  auto it = reply.find("hash");
  if (it == reply.end() || it->is_null()) return {};
  return detail::json_text(*it);
}
}  // namespace

const std::vector<std::string>& asa_settings_otf_keys() {
  static const std::vector<std::string> keys = {"ddos__interval", "ddos__latest_only",  "ddos__send_possible",
                                                "ddos__wl_ip",    "ddos__wl_url",       "brute__interval",
                                                "brute__max_val", "brute__latest_only", "brute__send_possible",
                                                "brute__wl_ip",   "brute__wl_host",     "schemix__vhosts_list"};
  return keys;
}

std::string asa_settings_get_hash(const std::string& url, const ApiContext& api, const LogSink& sink) {
  try {
    auto reply = detail::api_post(url, Json{{"key", api.key}}, api, Route::api, sink);
    if (!reply || (*reply)["status"] != "success") return {};
    std::string hash = hash_text(*reply);
    if (sink.debug) log_processing(sink, "debug", "settings", "Corvane AI TESSEL settings hash: " + hash);
    return hash;
  } catch (const std::exception& e) {
    log_processing(sink, "error", "settings", std::string("An error occurred in asa_settings_get_hash: ") + e.what());
    return {};
  }
}

bool asa_settings_get(const std::string& tessel_settings_db, const std::string& url, const ApiContext& api,
                      const LogSink& sink) {
  try {
    auto reply = detail::api_post(url, Json{{"key", api.key}}, api, Route::api, sink);
    return detail::store_reply(
        reply, url, tessel_settings_db, kSettingsFormat, "settings",
        [](const Json& v) { return v.is_object() ? std::optional<Json>(v) : std::nullopt; }, sink);
  } catch (const std::exception& e) {
    log_processing(sink, "error", "settings", std::string("An error occurred in asa_settings_get: ") + e.what());
    return false;
  }
}

std::pair<Json, Json> asa_settings_load(const std::string& tessel_settings_db, const LogSink& sink) {
  try {
    bool missing = false;
    auto settings =
        detail::load_entry(tessel_settings_db, kSettingsFormat, "settings", Json::value_t::object, sink, &missing);
    if (!settings) {
      if (missing) log_processing(sink, "warn", "os", "File " + tessel_settings_db + " is not found");
      return {Json::object(), Json::object()};
    }
    Json wo_otf = Json::object();
    const auto& otf = asa_settings_otf_keys();
    for (const auto& [k, v] : settings->items())
      if (std::find(otf.begin(), otf.end(), k) == otf.end()) wo_otf[k] = v;
    return {std::move(*settings), std::move(wo_otf)};
  } catch (const std::exception& e) {
    log_processing(sink, "error", "os", std::string("An error occurred in asa_settings_load: ") + e.what());
    return {Json::object(), Json::object()};
  }
}

std::string asa_settings_stored_hash(const std::string& tessel_settings_db) {
  auto copy = detail::load_local_copy(tessel_settings_db, kSettingsFormat, "settings", nullptr);
  return copy ? copy->hash : std::string();
}

SettingsUpdate asa_settings_update(const std::string& tessel_settings_db, const std::string& hash_url,
                                   const std::string& url, const ApiContext& api, const std::string& last_hash,
                                   const LogSink& sink) {
  SettingsUpdate u{false, last_hash};
  const std::string hash = asa_settings_get_hash(hash_url, api, sink);
  if (hash.empty() || hash == last_hash) return u;
  if (asa_settings_get(tessel_settings_db, url, api, sink)) {
    u.downloaded = true;
    u.hash = hash;
  }
  return u;
}

}  // namespace tessel::core
