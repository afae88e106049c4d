#pragma once
// Request-table schemas of the brute-force and flood detection: which
// requests become brute-force or flood candidate rows, and for which zones.
//
// A schema is a JSON array of rules:
//   {"vhost": "<host pattern>", "url": "<path pattern>", "zones": ["args", "body"]}
// "vhost" is a host pattern (see host_pattern_match; "*" when absent), "url"
// is matched against the whole request path with "*" standing for any run
// of characters and every other character literal, in lower case ("*" when
// absent); "zones" names zones of bf_detection_zone (absent: "args" and
// "body" for brute-force rules, "url" for flood rules).
//
// The rule files named by the INI options hold one rule per line:
//   <host>[<path>] [<zone>[,<zone>...]]
// e.g. "example.com/login body", "*/wp-login.php", ".example.org/api/auth*".
// A line without a path covers every path of the host; blank lines and
// lines starting with "#" or ";" are ignored.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/request.h"

namespace tessel::core {

// Built-in brute-force rules: log-in and password targets of every host.
const Json& bf_df_tpl();
// Rules of the rule files before they are read: none.
const Json& brute_df_tpl();

// The brute-force schema in force: the rules of `cur_schema`, checked (a
// schema that is not a list gives the built-in rules). Never throws.
Json get_bf_dfs_schema(const Json& asa_settings, const Json& cur_schema, const LogSink& sink);
// The rules of the rule file `path` (brute-force rules, or flood rules when
// `flood` is true). An empty path, or a file that cannot be read, gives the
// rules of `cur_schema`; faulty lines are logged and skipped. Never throws.
Json get_brute_dfs_schema(const Json& asa_settings, const std::string& path, bool flood, const Json& cur_schema,
                          const LogSink& sink);

// Rules from the text of a rule file; faulty lines are reported in `errors`.
Json parse_bf_rules(std::string_view text, bool flood, std::vector<std::string>* errors = nullptr);

// One candidate row of a request: flood_detect 0 (brute force) or 1 (flood),
// and the zones it is marked for, joined by ",".
struct BfCandidate {
  int flood_detect = 0;
  std::string zone_detect;
  bool operator==(const BfCandidate&) const = default;
};

// The three schemas and the white lists, compiled once per table.
class BfMatcher {
 public:
  // bf_wl_ip_list: addresses or CIDR ranges; bf_wl_host_list: host patterns.
  BfMatcher(const Json& bf_schema, const Json& brute_schema, const Json& flood_schema,
            const Json& bf_wl_ip_list = Json::array(), const Json& bf_wl_host_list = Json::array());
  ~BfMatcher();
  BfMatcher(BfMatcher&&) noexcept;
  BfMatcher& operator=(BfMatcher&&) noexcept;

  // At most one brute-force row (the zones of every matching brute-force
  // rule) and then at most one flood row. Only zones whose value is not
  // empty are marked; a kind without such a zone gives no row. A white-
  // listed address or host gives no row.
  std::vector<BfCandidate> candidates(const RequestRecord& r) const;
  // Appends the record's candidate rows (copies with flood_detect and
  // zone_detect set) to `out`.
  void append_rows(const RequestRecord& r, RequestTable& out) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

std::vector<BfCandidate> bf_candidates(const RequestRecord& r, const Json& bf_schema, const Json& brute_schema,
                                       const Json& flood_schema, const Json& bf_wl_ip_list = Json::array(),
                                       const Json& bf_wl_host_list = Json::array());

// Whole-text match of `pattern` ("*" any run of characters, everything else
// literal) against `text`.
bool wildcard_match(std::string_view pattern, std::string_view text);

}  // namespace tessel::core
