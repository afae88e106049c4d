#pragma once
// Readers for the shared reference data (attack payloads, CSIC requests).
#include <string>
#include <vector>

namespace tessel::testing {

// $TESSEL_DATA_DIR, else the data folder beside the source tree; empty when
// the data is absent.
std::string reference_data_dir();

// Values of attack-payloads.jsonl, in file order; zone "" takes every zone.
std::vector<std::string> attack_values(const std::string& dir, const std::string& zone = "");

struct CsicRequest {
  std::string method;
  std::string target;                // as on the request line
  std::vector<std::string> headers;  // "Name: value" lines
  std::string body;
};

// The CSIC normal-traffic training requests in file order (latin-1 text
// converted to UTF-8). Needs gzip on the PATH.
std::vector<CsicRequest> csic_requests(const std::string& dir);

}  // namespace tessel::testing
