#pragma once
// Small text helpers of the support layer.
#include <string>
#include <string_view>

#include "shared/pyvalues/json.h"

namespace tessel::core::detail {

// A value as it appears in a log text: Python's str() of it.
std::string json_text(const Json& v);
std::string_view trim(std::string_view s);
std::string ascii_lower(std::string_view s);
bool starts_with(std::string_view s, std::string_view prefix);
// starts_with with ASCII letters compared in any case; `lower_prefix` in
// lower case.
bool ascii_istarts_with(std::string_view s, std::string_view lower_prefix);
bool ends_with(std::string_view s, std::string_view suffix);

}  // namespace tessel::core::detail
