#pragma once
// Zone values of a request: normalisation and the zone origin text (the
// fields of a record by zone name: zone_field in shared/runtime/request.h).
#include <string>
#include <string_view>
#include <vector>

#include "shared/runtime/log_sink.h"
#include "shared/runtime/request.h"

namespace tessel::orvik {

// Normalises the values of zone `z` in place and returns them: digits-only
// values stay; "url" values are decoded (core::req_data_decode); "args" and
// "body" values get "+" turned into a space and each white-space run into
// one space; other zones stay. A failure while decoding ends the pass with
// the values after it left as they were.
std::vector<std::string>& ml_data_normalization(std::vector<std::string>& data, std::string_view z,
                                                const LogSink& sink);
// Whether ml_data_normalization may change values of zone `z`.
bool ml_data_normalization_changes(std::string_view z);

// The flagged zones' values as received, as Python prints a dict:
// {'uri': 'L2luZGV4', 'args': 'aWQ9MQ=='} ("url" keyed "uri", first place
// of a repeated zone). "{}" with an error line when a zone is missing.
std::string mz_origin_gen(const RequestRecord& data, const std::vector<std::string>& znlst, const Json& request_id,
                          const LogSink& sink);

}  // namespace tessel::orvik
