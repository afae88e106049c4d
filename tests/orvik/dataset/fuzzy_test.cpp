// The fuzzy matcher against golden scores of the reference library
// (golden/fuzzy_golden.py writes golden/fuzzy_golden.json).
#include "orvik/dataset/fuzzy.h"

#include <gtest/gtest.h>

#include "shared/pyvalues/json.h"
#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::orvik;

namespace {
Json golden() {
  return Json::parse(
      tessel::testing::read_file(std::string(TESSEL_SOURCE_DIR) + "/tests/orvik/dataset/golden/fuzzy_golden.json"));
}
}  // namespace

TEST(Fuzzy, PairsScoreAsTheReference) {
  const Json g = golden();
  ASSERT_GT(g["pairs"].size(), 300u);
  for (const Json& c : g["pairs"]) {
    const std::string q = c["query"], choice = c["choice"];
    SCOPED_TRACE(q + " | " + choice);
    const auto m = fuzzy::extract_one(q, {choice});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->score, c["score"].get<int>());
    const bool covered =
        fuzzy::reaches(fuzzy::prepare(fuzzy::process_query(q)), fuzzy::prepare(fuzzy::process_choice(choice)), 95);
    EXPECT_EQ(covered, c["score"].get<int>() >= 95);
  }
}

TEST(Fuzzy, ExtractOnePicksAsTheReference) {
  for (const Json& c : golden()["lists"]) {
    const std::string q = c["query"];
    SCOPED_TRACE(q);
    const auto m = fuzzy::extract_one(q, c["choices"].get<std::vector<std::string>>());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->index, c["index"].get<std::size_t>());
    EXPECT_EQ(m->score, c["score"].get<int>());
  }
  EXPECT_FALSE(fuzzy::extract_one("a", {}));
}
