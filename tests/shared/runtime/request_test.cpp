#include "shared/runtime/request.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace tessel;

TEST(ZoneField, EachZoneNamesItsOwnFieldAndNothingElseIsAZone) {
  RequestRecord r;
  const struct {
    std::string_view name;
    std::string* field;
  } zones[] = {{"url", &r.url},  {"args", &r.args},       {"cookie", &r.cookie},
               {"ua", &r.ua},    {"referer", &r.referer}, {"other_headers", &r.other_headers},
               {"body", &r.body}};
  for (const auto& z : zones) {
    EXPECT_EQ(zone_field(r, z.name), z.field) << z.name;
    EXPECT_EQ(zone_field(static_cast<const RequestRecord&>(r), z.name), z.field) << z.name;
  }
  // Text columns that are no zone, a name in another case, and a prefix.
  for (std::string_view name : {"id", "cc", "jbody", "content-type", "URL", "bod", ""}) {
    EXPECT_EQ(zone_field(r, name), nullptr) << name;
    EXPECT_EQ(zone_field(static_cast<const RequestRecord&>(r), name), nullptr) << name;
  }
}
