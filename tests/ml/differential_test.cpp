// Realistic set: attack payloads against normal CSIC query strings and form
// bodies, compared with the reference forest's predictions on a held-aside
// fifth. Skipped when the shared reference data is absent.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ml/forest.h"
#include "ml/tfidf.h"
#include "ml_fixtures.h"
#include "shared/utf8.h"

using namespace tessel;
using namespace tessel::ml;

namespace {

std::string md5_hex(const std::string& s) {
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

std::vector<std::string> read_attacks(const std::string& dir, const std::string& zone) {
  std::ifstream in(dir + "/attack-payloads.jsonl");
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    Json j = Json::parse(line);
    if (j["zone"] == zone) out.push_back(j["value"].get<std::string>());
  }
  return out;
}

std::string gunzip(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("gzip -dc '" + path + "'").c_str(), "r"), pclose);
  std::string out;
  char buf[65536];
  for (std::size_t n; p && (n = fread(buf, 1, sizeof buf, p.get())) > 0;) out.append(buf, n);
  return out;
}

std::string strip_crlf(std::string_view s) {
  std::size_t b = s.find_first_not_of("\r\n");
  if (b == std::string_view::npos) return "";
  return std::string(s.substr(b, s.find_last_not_of("\r\n") - b + 1));
}

// Query string of each GET request and body of each POST request.
std::vector<std::string> read_csic_args(const std::string& dir) {
  std::string raw = gunzip(dir + "/csic2010/normalTrafficTraining.txt.gz");
  std::string text;
  for (unsigned char c : raw) utf8_append(text, c);  // latin-1
  std::vector<std::string> blocks;
  for (std::size_t at = 0;;) {
    std::size_t next = text.find("\r\n\r\n", at);
    blocks.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + 4;
  }
  std::vector<std::string> out;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    std::string head = strip_crlf(blocks[i]);
    std::string first = head.substr(0, head.find("\r\n"));
    bool get = first.starts_with("GET "), post = first.starts_with("POST ") || first.starts_with("PUT ");
    if (!get && !post) continue;
    std::size_t sp = first.find(' ');
    std::string target = first.substr(sp + 1, first.find(' ', sp + 1) - sp - 1);
    if (get) {
      std::size_t q = target.find('?');
      if (q != std::string::npos) out.push_back(target.substr(q + 1));
    } else {
      std::string body = i + 1 < blocks.size() ? strip_crlf(blocks[i + 1]) : "";
      if (!body.empty()) out.push_back(body);
      ++i;
    }
  }
  return out;
}

}  // namespace

TEST(Differential, PredictionsMatchTheReferenceOnAHeldAsideSplit) {
  std::string dir = tessel::ml::testing::data_dir();
  if (dir.empty()) GTEST_SKIP() << "shared reference data not found (set TESSEL_DATA_DIR)";
  Json fx = tessel::ml::testing::fixture("differential_args.json");
  std::vector<std::string> attacks = read_attacks(dir, "args");
  std::vector<std::string> normals = read_csic_args(dir);
  ASSERT_EQ(attacks.size(), fx["n_attacks"].get<std::size_t>());
  ASSERT_EQ(normals.size(), fx["n_normals"].get<std::size_t>());
  std::vector<std::string> docs = attacks;
  docs.insert(docs.end(), normals.begin(), normals.end());
  std::string joined;
  for (std::size_t i = 0; i < docs.size(); ++i) joined += (i ? "\n" : "") + docs[i];
  ASSERT_EQ(md5_hex(joined), fx["docs_md5"].get<std::string>()) << "the data set was built differently";

  std::vector<std::string> train, test;
  std::vector<std::int64_t> y;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    if (i % 5 == 4) {
      test.push_back(docs[i]);
    } else {
      train.push_back(docs[i]);
      y.push_back(i < attacks.size());
    }
  }
  TfidfVectorizer v;
  CsrMatrix x = v.fit_transform(train);
  EXPECT_EQ(static_cast<std::size_t>(x.n_cols), fx["n_features"].get<std::size_t>());
  RandomForestClassifier rf;
  rf.fit(x, y);
  std::vector<std::int64_t> pred = rf.predict(v.transform(test));
  std::string bits = fx["test_pred_bits"];
  ASSERT_EQ(pred.size(), fx["n_test"].get<std::size_t>());
  std::size_t differ = 0;
  for (std::size_t i = 0; i < pred.size(); ++i) {
    int byte = std::stoi(bits.substr(i / 8 * 2, 2), nullptr, 16);
    differ += ((byte >> (7 - i % 8)) & 1) != pred[i];
  }
  RecordProperty("differing_predictions", static_cast<int>(differ));
  EXPECT_LE(differ * 1000, pred.size()) << differ << " of " << pred.size() << " predictions differ";
  std::printf("differential: %zu of %zu test predictions differ from the reference\n", differ, pred.size());
  std::vector<std::int64_t> train_pred = rf.predict(x);
  EXPECT_EQ(accuracy_score(y, train_pred) * 100, std::stod(fx["train_accuracy"].get<std::string>()));
}
