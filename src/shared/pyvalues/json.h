#pragma once
// The value type for JSON-like data: dictionaries keep insertion order, as
// Python's dict does.
#include <nlohmann/json.hpp>

namespace tessel {
using Json = nlohmann::ordered_json;
}  // namespace tessel
