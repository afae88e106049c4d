#pragma once
// Settings from the management API: the local copy "settings.db", the look-
// up of one setting, and the white lists derived from the settings and the
// INI white-list files.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/net/api_context.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel {
class RawConfigParser;
}

namespace tessel::core {

// The settings hash the management API reports at `url` (POST {"key": key});
// "" when it reports none or cannot be reached (logged). With `debug` the
// hash is logged.
std::string asa_settings_get_hash(const std::string& url, const ApiContext& api, const LogSink& sink);
// Fetches the settings from `url` into the local copy `tessel_settings_db`,
// replaced atomically; a failed or malformed fetch leaves the copy as it
// was. True when the copy was replaced.
bool asa_settings_get(const std::string& tessel_settings_db, const std::string& url, const ApiContext& api,
                      const LogSink& sink);
// The settings of the local copy and the part of them that cannot be applied
// while the service runs (every key not in asa_settings_otf_keys): a change
// there needs a restart. A missing or damaged copy gives two empty mappings.
std::pair<Json, Json> asa_settings_load(const std::string& tessel_settings_db, const LogSink& sink);
// Settings the running service applies without a restart.
const std::vector<std::string>& asa_settings_otf_keys();
// The hash stored with the local copy ("" when there is none).
std::string asa_settings_stored_hash(const std::string& tessel_settings_db);

// One refresh of the settings for the settings thread: asks for the hash and
// fetches the settings only when it differs from `last_hash`. Returns the
// hash now in force (`last_hash` when nothing could be fetched) and whether
// the local copy was replaced.
struct SettingsUpdate {
  bool downloaded = false;
  std::string hash;
};
SettingsUpdate asa_settings_update(const std::string& tessel_settings_db, const std::string& hash_url,
                                   const std::string& url, const ApiContext& api, const std::string& last_hash,
                                   const LogSink& sink);

// The value of the setting `key` ("section__option") of `asa_settings`.
// A missing key, a null value or settings that are not a mapping give
// `dflt`. By type name:
//   "bool": a JSON boolean as is; 0/1 and the texts 1/yes/true/on and
//           0/no/false/off (any case, blanks around) converted; anything else
//           gives `dflt` and a warning;
//   "int":  the value unchanged, integer or not (the caller checks it);
//   "list": a list of texts: the text entries of a JSON list (other entries
//           are left out with a warning), or the entries of a text separated
//           by "," or line breaks, trimmed, empty ones left out; anything else
//           gives `dflt` and a warning.
// Any other type name gives the value unchanged. The INI file is not
// consulted: settings come from the management API only.
Json param_processing(const Json& dflt, std::string_view type_name, std::string_view key, const Json& asa_settings,
                      const LogSink& sink);
inline Json param_processing(const Json& dflt, std::string_view type_name, std::string_view key,
                             const Json& asa_settings, const RawConfigParser&, const LogSink& sink) {
  return param_processing(dflt, type_name, key, asa_settings, sink);
}

// Creates `path` as an empty file when nothing exists there (its directory
// must exist); an existing file is left as it is. Failures are logged
// ("os"); returns true when the path is a file afterwards.
bool create_path_file(const std::string& path, const LogSink& sink);

// The DDoS white lists: addresses (or CIDR ranges) from the file
// `ddos_wl_ip_path` and the setting "ddos__wl_ip", URLs (lower case) from the
// file `ddos_wl_url_path` and the setting "ddos__wl_url"; one entry per line
// in the files ("#" starts a comment line), repeated entries once. An empty
// path contributes nothing; a file that cannot be read keeps the current
// list (`cur_ip_list` or `cur_url_list`). Returns (addresses, URLs).
std::pair<Json, Json> ddos_wl_processing(const Json& asa_settings, const std::string& ddos_wl_ip_path,
                                         const std::string& ddos_wl_url_path, const Json& cur_ip_list,
                                         const Json& cur_url_list, const LogSink& sink);

// The brute-force white lists: addresses (or CIDR ranges) from the setting
// "brute__wl_ip" and host patterns from the setting "brute__wl_host" (each a
// list or a text of entries). A missing setting gives an empty list; a
// setting that is not a list keeps the current one. Returns (addresses,
// hosts).
std::pair<Json, Json> bf_wl_processing(const Json& asa_settings, const Json& cur_ip_list, const Json& cur_host_list,
                                       const LogSink& sink);
inline std::pair<Json, Json> bf_wl_processing(const Json& asa_settings, const RawConfigParser&, const Json& cur_ip_list,
                                              const Json& cur_host_list, const LogSink& sink) {
  return bf_wl_processing(asa_settings, cur_ip_list, cur_host_list, sink);
}

}  // namespace tessel::core
