#pragma once
// The local copies the support layer keeps of data fetched from outside
// ("settings.db", "vhosts_list.db", "b64wl.db"): one JSON object
//   {"format": "<name>", "version": 1, "hash": "<text>", "<key>": <value>}
// replaced atomically.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::core::detail {

struct LocalCopy {
  std::string hash;
  Json value;
};

// Throws std::system_error when the file cannot be written.
void save_local_copy(const std::string& path, std::string_view format, const std::string& hash, std::string_view key,
                     const Json& value);
// nullopt when the file is missing, unreadable or not a copy of this format
// (`why` says which; `missing` tells a missing file apart).
std::optional<LocalCopy> load_local_copy(const std::string& path, std::string_view format, std::string_view key,
                                         std::string* why, bool* missing = nullptr);

// The entry `key` of the local copy when it has the JSON type `type`. A
// damaged copy, or an entry of another type, is logged ("os") and gives
// nullopt; a missing copy gives nullopt with `*missing` set and no log line.
std::optional<Json> load_entry(const std::string& path, std::string_view format, std::string_view key,
                               Json::value_t type, const LogSink& sink, bool* missing);

// Stores the entry `key` of a "success" reply of `url`, as `clean` makes it,
// with the reply's "hash", as the local copy `path` (with an empty `format`,
// the entry alone is written). An entry that `clean`
// refuses (nullopt) is logged as a bad reply ("api"), a copy that cannot be
// written under "os". No reply, or a "none" reply, stores nothing. True when
// the copy was replaced.
bool store_reply(const std::optional<Json>& reply, const std::string& url, const std::string& path,
                 std::string_view format, std::string_view key,
                 const std::function<std::optional<Json>(const Json&)>& clean, const LogSink& sink);

}  // namespace tessel::core::detail
