#pragma once
// Request grouping of the schema worker: bodies decoded, numeric path
// segments templated, requests grouped by target (host + path) and method,
// and the representative requests of each group chosen by the similarity of
// their body key lists.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "shared/pyvalues/json.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/request.h"

namespace tessel::schemix {

// The columns of a request that schema generation reads.
struct SchemaRecord {
  Json request_id;
  Json vhost;
  std::string url;
  Json method;
  std::string content_type;
  Json body;  // the body text, or its decoded value (always once chosen)
  std::string schema_name;
  bool dropped = false;  // over the group limit: no longer in the list
};

// The schema columns of a request; the body is the text as received (the
// record's JSON body before normalisation, when it has one).
SchemaRecord schema_record(RequestRecord&& r);
// The record as a mapping in the column order of the schema table.
Json record_mapping(const SchemaRecord& r);

// Requests examined per group; further ones are dropped.
inline constexpr std::size_t kGroupLimit = 5000;
// Largest edit distance between key-list texts of one group's choices.
inline constexpr std::size_t kKeysDistance = 10;

// Every non-empty path segment made only of digits becomes "{integer}".
std::string template_path(std::string_view url);

// Lists the keys of the bodies, templates the paths and returns the indices
// of the representative requests in `data_list` (an index may come twice).
// The bodies of those requests are decoded, their empty arrays filled; any
// other body may keep its text. A body that cannot be decoded is logged and
// keeps its text. Records over the group limit are marked dropped. A record
// whose target cannot be normalised is logged and joins no group; the others
// go on.
std::vector<std::size_t> schemix_requests_processing(std::vector<SchemaRecord>& data_list, const LogSink& sink);

}  // namespace tessel::schemix
