#pragma once
// The local copies the support layer keeps of data fetched from outside
// ("settings.db", "vhosts_list.db", "b64wl.db"): one JSON object
//   {"format": "<name>", "version": 1, "hash": "<text>", "<key>": <value>}
// replaced atomically.
#include <optional>
#include <string>
#include <string_view>

#include "shared/json.h"

namespace tessel::core::detail {

struct LocalCopy {
  std::string hash;
  Json value;
};

// Throws std::system_error when the file cannot be written.
void save_local_copy(const std::string& path, std::string_view format, const std::string& hash,
                     std::string_view key, const Json& value);
// nullopt when the file is missing, unreadable or not a copy of this format
// (`why` says which; `missing` tells a missing file apart).
std::optional<LocalCopy> load_local_copy(const std::string& path, std::string_view format, std::string_view key,
                                         std::string* why, bool* missing = nullptr);

}  // namespace tessel::core::detail
