#include "schemix/keys.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

#include "core/base/log.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::schemix {

namespace {

bool nested(const Json& v) { return v.is_object() || v.is_array(); }

void walk(Json& data, std::vector<std::string>& keys, const LogSink& sink, int depth);

// One walk with its own guard: a failure ends this walk only.
void guarded_walk(Json& data, std::vector<std::string>& keys, const LogSink& sink, int depth) {
  try {
    walk(data, keys, sink, depth);
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "schemix",
                         std::string("An error occurred while processing data in schemix_get_keys: ") + e.what());
  }
}

void walk(Json& data, std::vector<std::string>& keys, const LogSink& sink, int depth) {
  if (depth > kPyMaxDepth) throw PyValueError("maximum recursion depth exceeded");
  if (data.is_object()) {
    std::vector<std::pair<std::string_view, Json*>> members;
    members.reserve(data.size());
    for (auto it = data.begin(); it != data.end(); ++it) members.emplace_back(it.key(), &it.value());
    std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [name, value] : members) {
      if (nested(*value)) guarded_walk(*value, keys, sink, depth + 1);
      keys.emplace_back(name);
    }
  } else if (data.is_array()) {
    if (data.empty()) {
      data.push_back(0);
      data.push_back(0.0);
      data.push_back("");
      data.push_back(false);
    }
    for (auto& e : data)
      if (nested(e)) guarded_walk(e, keys, sink, depth + 1);
  }
}

}  // namespace

std::vector<std::string>& schemix_get_keys(Json& data, std::vector<std::string>& keys_list, const LogSink& sink) {
  guarded_walk(data, keys_list, sink, 0);
  return keys_list;
}

std::string keys_display(const std::vector<std::string>& keys) {
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  return keys_text(views);
}

std::string keys_text(std::span<const std::string_view> keys) {
  std::string out = "[";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i) out += ", ";
    out += py_repr_str(keys[i]);
  }
  out += "]";
  return out;
}

}  // namespace tessel::schemix
