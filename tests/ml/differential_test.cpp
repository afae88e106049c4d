// Realistic set: attack payloads against normal CSIC query strings and form
// bodies, compared with the reference forest's predictions on a held-aside
// fifth. Skipped when the shared reference data is absent.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ml/forest.h"
#include "ml/tfidf.h"
#include "ml_fixtures.h"
#include "support/reference_data.h"

using namespace tessel;
using namespace tessel::ml;

namespace {

// Query string of each GET request and body of each POST request.
std::vector<std::string> csic_args(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& r : tessel::testing::csic_requests(dir)) {
    if (r.method == "GET") {
      std::size_t q = r.target.find('?');
      if (q != std::string::npos) out.push_back(r.target.substr(q + 1));
    } else if (!r.body.empty()) {
      out.push_back(r.body);
    }
  }
  return out;
}

}  // namespace

TEST(Differential, PredictionsMatchTheReferenceOnAHeldAsideSplit) {
  std::string dir = tessel::testing::reference_data_dir();
  if (dir.empty()) GTEST_SKIP() << "shared reference data not found (set TESSEL_DATA_DIR)";
  Json fx = tessel::ml::testing::fixture("differential_args.json");
  std::vector<std::string> attacks = tessel::testing::attack_values(dir, "args");
  std::vector<std::string> normals = csic_args(dir);
  ASSERT_EQ(attacks.size(), fx["n_attacks"].get<std::size_t>());
  ASSERT_EQ(normals.size(), fx["n_normals"].get<std::size_t>());
  std::vector<std::string> docs = attacks;
  docs.insert(docs.end(), normals.begin(), normals.end());
  std::string joined;
  for (std::size_t i = 0; i < docs.size(); ++i) joined += (i ? "\n" : "") + docs[i];
  ASSERT_EQ(tessel::ml::testing::md5_hex(joined), fx["docs_md5"].get<std::string>())
      << "the data set was built differently";

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
