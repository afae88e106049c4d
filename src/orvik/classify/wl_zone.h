#pragma once
// The built-in white list: plain value forms of a zone whose model verdict
// does not count.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::orvik {

// True when the value `data` of zone `z` is white-listed: at most 750 code
// points, and once stripped of white space empty, all digits, or a full
// match of one of the zone's patterns (zones "url", "args", "body",
// "referer", "cookie", "other_headers"; exact names). Linear in the length
// of the value; no state, no logging.
bool ml_wl_zone(std::string_view data, std::string_view z);

namespace detail {
// Zone name and pattern, as written for the matcher, of every built-in
// pattern in table order; `ok` false when one did not compile.
struct WlPatternInfo {
  std::string zone;
  std::string pattern;
  bool ok = false;
  std::string error;
};
std::vector<WlPatternInfo> wl_pattern_table();
}  // namespace detail

}  // namespace tessel::orvik
