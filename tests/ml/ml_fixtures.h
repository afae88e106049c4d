#pragma once
// Reference outputs of the model engine's tests (see fixtures/make_fixtures.py).
#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ml/sparse.h"
#include "shared/pyvalues/json.h"
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

inline std::string md5_hex(const std::string& s) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(s.data(), s.size(), md, &len, EVP_md5(), nullptr);
  std::string out;
  char buf[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", md[i]);
    out += buf;
  }
  return out;
}

}  // namespace tessel::ml::testing
