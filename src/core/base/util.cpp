#include "core/base/util.h"

#include "shared/pyvalues/pyvalue.h"

namespace tessel::core::detail {

std::string json_text(const Json& v) {
  try {
    return py_str(v);
  } catch (const std::exception&) {
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
}

std::string_view trim(std::string_view s) {
  const char* ws = " \t\r\n\f\v";
  auto b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool ascii_istarts_with(std::string_view s, std::string_view lower_prefix) {
  if (s.size() < lower_prefix.size()) return false;
  for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_prefix[i]) return false;
  }
  return true;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace tessel::core::detail
