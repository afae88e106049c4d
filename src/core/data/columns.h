#pragma once
// Zone and column lists shared by the subsystems. Each list is defined here
// once; the detectors and the router name columns only through these.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::core {

// The request zones, in record order.
const std::vector<std::string>& zones();
// Zones whose normalised text is "name=value" (or "name: value") lines.
const std::vector<std::string>& kv_zone();
// Zones the brute-force and flood analysis examines; each is also a request
// column holding the request's value in that zone.
const std::vector<std::string>& bf_detection_zone();

// The zone's name as log lines print it ("url" -> "URL", "other_headers" ->
// "HEADERS"); a name that is not a zone comes back unchanged.
std::string zone_replace(const std::string& zone);
// The name of the staging table in every host's staging file.
const std::string& db_data_table();
// Zone values longer than this many characters are not compared with the
// exported false-positive data.
std::size_t limit_data_mt();

// Record columns of a staged row: the request record without orig_zone_data
// (a mapping has no SQLite cell).
const std::vector<std::string>& vexa_columns();
// The longest piece of a "body" line that classification judges at once,
// in code points.
inline constexpr std::size_t max_body_chunk_ai = 1024;
// Fragments of the "content-type" values whose bodies are binary: such rows
// are staged for training with an empty body.
const std::vector<std::string>& bin_content_type();

// Columns of the machine-learning and DDoS request tables and of the attack
// tables sent to the management API: vexa_columns, then mz_origin.
const std::vector<std::string>& tessel_df_columns();
// Columns of the brute-force request table: vexa_columns, then flood_detect
// (0 brute-force candidate, 1 flood candidate) and zone_detect (the zones the
// row was marked for, joined by ",").
const std::vector<std::string>& bf_columns();
// Columns of the schema-generation request table.
const std::vector<std::string>& schemix_columns();

}  // namespace tessel::core
