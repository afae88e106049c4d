#pragma once
// The normalised WAF request and the values that travel between workers.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/pyvalues/json.h"

namespace tessel {

// One normalised request. Fields the WAF sends "as received" stay JSON
// values; the zone fields are normalised text.
struct RequestRecord {
  std::string id;  // 32 lower-case hex digits of a random UUID
  std::int64_t bt = 0;
  Json lm;
  std::int64_t timestamp = 0;  // whole seconds
  Json request_id;
  Json request_type;
  Json mz;
  Json ip;
  Json vhost;
  std::int64_t port = 0;
  Json method;
  std::string url;
  std::string args;
  std::string cookie;
  std::string ua;
  std::string referer;
  std::string other_headers;
  std::string body;
  std::string cc;
  std::string content_type;  // column "content-type"
  std::string jbody;
  std::int64_t status_code = 0;
  // Zone name to the value as received, in zone order.
  std::vector<std::pair<std::string, Json>> orig_zone_data;
  // Columns added on the way (flood_detect, zone_detect, schema_name,
  // group_id, possible, description, mz_origin, ...), in the order added.
  Json extras = Json::object();
};

// The record's text field of zone `name` (url, args, cookie, ua, referer,
// other_headers, body); nullptr for any other name.
std::string* zone_field(RequestRecord& r, std::string_view name);
const std::string* zone_field(const RequestRecord& r, std::string_view name);

// The 23 record columns, in order.
const std::vector<std::string>& request_record_columns();

// The row as a JSON object: the 23 columns in order, then the extras.
Json record_to_json(const RequestRecord& r);
// The inverse of record_to_json; a missing column takes its empty value,
// columns that are not record fields go to extras. Throws on a wrong type.
RequestRecord record_from_json(const Json& row);

using RequestTable = std::vector<RequestRecord>;

Json table_to_json(const RequestTable& t);
// The rows without the named columns.
Json table_to_json(const RequestTable& t, const std::vector<std::string>& without);
RequestTable table_from_json(const Json& rows);

// Attack-kind codes.
enum AttackKind : int {
  kBruteForce = 7,
  kMachineLearning = 8,
  kFlood = 9,
  kDDoS = 10,
};

// A table of reported rows and its attack-kind code.
struct AttackReport {
  RequestTable table;
  int kind = 0;
  // Record columns the reported rows do not carry.
  std::vector<std::string> dropped_columns;
};

// [client address, attack-kind code, label]
struct AadEntry {
  std::string ip;
  int kind = 0;
  std::string label;
};

}  // namespace tessel
