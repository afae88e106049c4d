#include "orvik/classify/wl_zone.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/pyvalues/json.h"
#include "support/temp_dir.h"

namespace tessel::orvik {
namespace {

TEST(WlZone, EveryPatternCompiles) {
  const auto table = detail::wl_pattern_table();
  EXPECT_EQ(table.size(), 32u);  // 30 patterns, the name=value pair in two forms
  for (const auto& p : table) EXPECT_TRUE(p.ok) << p.zone << ": " << p.pattern << ": " << p.error;
}

// Verdicts of Python's re on the same patterns (gen_wl_golden.py).
TEST(WlZone, AgreesWithPythonOnTheGoldenTable) {
  const Json rows =
      Json::parse(testing::read_file(std::string(TESSEL_SOURCE_DIR) + "/tests/orvik/classify/data/wl_golden.json"));
  ASSERT_GT(rows.size(), 300u);
  int wrong = 0;
  for (const auto& row : rows) {
    const std::string z = row[0], v = row[1];
    const bool want = row[2];
    if (ml_wl_zone(v, z) != want) {
      ++wrong;
      ADD_FAILURE() << "zone " << z << " value '" << v << "': want " << want;
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(WlZone, LengthLimitComesFirst) {
  EXPECT_FALSE(ml_wl_zone(std::string(751, ' '), "ua"));
  EXPECT_FALSE(ml_wl_zone(std::string(751, '7'), "args"));
  EXPECT_TRUE(ml_wl_zone(std::string(750, '7'), "args"));
  // 750 code points of two bytes each are within the limit.
  std::string wide;
  for (int i = 0; i < 750; ++i) wide += "\xc3\xa9";
  EXPECT_TRUE(ml_wl_zone(wide, "url") == false);
  EXPECT_TRUE(ml_wl_zone("/" + wide.substr(2), "url"));
}

// The nested repetitions of the body and args patterns run in linear time:
// these finish at once instead of backtracking for minutes.
TEST(WlZone, PathologicalValuesFinish) {
  EXPECT_FALSE(ml_wl_zone("a=" + std::string(700, '1') + "x", "body"));
  EXPECT_FALSE(ml_wl_zone("a=" + std::string(740, '1') + " x", "body"));
  std::string url = "http://";
  while (url.size() < 740) url += "a.";
  EXPECT_FALSE(ml_wl_zone(url + "/ ", "args"));
  EXPECT_FALSE(ml_wl_zone(std::string(1 << 20, 'a'), "cookie"));
}

// Letters match in any case, word characters are letters and numbers
// only: U+0345, which case folding maps to a Greek letter, is none.
TEST(WlZone, CaseFoldingAddsNoWordCharacter) {
  const struct {
    const char* zone;
    const char* value;
    bool listed;
  } cases[] = {
      {"args", "a\u0345=1", false},
      {"args", "id=\u0345", false},
      {"url", "/a\u0345b", false},
      {"cookie", "x=\u0345", false},
      {"referer", "https://a\u0345.com/", false},
      {"other_headers", "from: a@b\u0345.com", false},
      {"args", "\u03b9\u0399\u1fbe=1", true},  // the Greek letters it folds with
      {"url", "/AbC-\u00e9", true},
      {"other_headers", "CONTENT-TYPE: Multipart/Form-Data; boundary=X1", true},
      {"other_headers", "From: A@B.Com", true},
      {"cookie", "__UTMA=1.2", true},
  };
  for (const auto& c : cases) EXPECT_EQ(ml_wl_zone(c.value, c.zone), c.listed) << c.zone << " " << c.value;
}

TEST(WlZone, InvalidUtf8IsNotWhiteListed) {
  EXPECT_FALSE(ml_wl_zone("id=\xff\xfe", "args"));
  EXPECT_FALSE(ml_wl_zone("/a\xc3", "url"));
}

}  // namespace
}  // namespace tessel::orvik
