#pragma once
// The key list of a request body: every member name of every object in it,
// members in code-point order of name, the names inside a member's value
// before the member's own name. Empty arrays met on the way are filled in
// place with the sample values 0, 0.0, "" and false.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"

namespace tessel::schemix {

// Appends the names of `data` to `keys_list` and fills its empty arrays.
// A walk nested deeper than kPyMaxDepth logs "An error occurred while
// processing data in schemix_get_keys: {}" and ends there; the walk above it
// goes on. Returns `keys_list`.
std::vector<std::string>& schemix_get_keys(Json& data, std::vector<std::string>& keys_list, const LogSink& sink);

// The list as Python displays it: ['a', "it's"].
std::string keys_display(const std::vector<std::string>& keys);
std::string keys_text(std::span<const std::string_view> keys);

}  // namespace tessel::schemix
