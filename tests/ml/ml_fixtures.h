#pragma once
// Reference outputs of the model engine's tests (see fixtures/make_fixtures.py).
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ml/sparse.h"
#include "shared/json.h"
#include "support/temp_dir.h"

namespace tessel::ml::testing {

inline Json fixture(const std::string& name) {
  return Json::parse(tessel::testing::read_file(std::string(TESSEL_SOURCE_DIR) + "/tests/ml/fixtures/" + name));
}

inline CsrMatrix csr_from_json(const Json& j) {
  CsrMatrix m;
  m.n_rows = j["shape"][0];
  m.n_cols = j["shape"][1];
  m.indptr = j["indptr"].get<std::vector<std::int64_t>>();
  m.indices = j["indices"].get<std::vector<std::int32_t>>();
  m.data = j["data"].get<std::vector<double>>();
  return m;
}

// The shared reference data: $TESSEL_DATA_DIR, else the folder beside the
// source tree; empty when absent.
inline std::string data_dir() {
  const char* env = std::getenv("TESSEL_DATA_DIR");
  std::string dir = env && *env ? env : TESSEL_DATA_DIR;
  return std::filesystem::exists(dir + "/attack-payloads.jsonl") ? dir : "";
}

}  // namespace tessel::ml::testing
