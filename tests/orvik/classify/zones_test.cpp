#include "orvik/classify/zones.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace tessel::orvik {
namespace {

struct NormCase {
  const char* zone;
  std::string in;
  std::string out;
};

TEST(ZoneNormalization, Table) {
  const NormCase cases[] = {
      {"args", "a+b  c\t\td", "a b c d"},
      {"args", "a++b", "a b"},
      {"args", "x=1+2", "x=1 2"},
      {"body", " a ", " a "},
      {"body", "a\xc2\xa0\xe3\x80\x80z", "a z"},
      {"args", "0042", "0042"},
      {"body", "\xef\xbc\x91\xef\xbc\x92", "\xef\xbc\x91\xef\xbc\x92"},
      {"args", "", ""},
      {"url", "/a%2Bb", "/a+b"},
      {"url", "0042", "0042"},
      {"cookie", "a+b  c", "a+b  c"},
      {"referer", "a+b  c", "a+b  c"},
      {"ua", "a+b  c", "a+b  c"},
      {"other_headers", "a+b  c", "a+b  c"},
      {"URL", "/a%20b", "/a%20b"},
      {"Body", "a+b", "a+b"},
  };
  testing::LogCapture logs;
  for (const auto& c : cases) {
    std::vector<std::string> v{c.in, c.in};
    ml_data_normalization(v, c.zone, logs.sink());
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], c.out) << c.zone << " '" << c.in << "'";
    EXPECT_EQ(v[1], c.out);
  }
  EXPECT_TRUE(logs.take().empty());
}

RequestRecord with_origins() {
  RequestRecord r;
  r.orig_zone_data = {{"url", "L2luZGV4"}, {"args", "aWQ9MQ=="}, {"cookie", ""}, {"body", nullptr}};
  return r;
}

TEST(MzOrigin, Texts) {
  testing::LogCapture logs;
  const RequestRecord r = with_origins();
  EXPECT_EQ(mz_origin_gen(r, {"url", "args"}, "r1", logs.sink()), "{'uri': 'L2luZGV4', 'args': 'aWQ9MQ=='}");
  EXPECT_EQ(mz_origin_gen(r, {"args", "url", "cookie"}, "r1", logs.sink()),
            "{'args': 'aWQ9MQ==', 'uri': 'L2luZGV4', 'cookie': ''}");
  EXPECT_EQ(mz_origin_gen(r, {"args", "args"}, "r1", logs.sink()), "{'args': 'aWQ9MQ=='}");
  EXPECT_EQ(mz_origin_gen(r, {}, "r1", logs.sink()), "{}");
  EXPECT_EQ(mz_origin_gen(r, {"body"}, "r1", logs.sink()), "{'body': None}");
  EXPECT_TRUE(logs.take().empty());
}

TEST(MzOrigin, MissingZoneGivesEmptyMappingAndOneLine) {
  testing::LogCapture logs;
  RequestRecord r = with_origins();
  EXPECT_EQ(mz_origin_gen(r, {"args", "ua"}, "r7", logs.sink()), "{}");
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "error/parsing: An error occurred while generating mz_origin for request r7: 'ua'");
}

}  // namespace
}  // namespace tessel::orvik
