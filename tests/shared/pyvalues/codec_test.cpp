#include <gtest/gtest.h>

#include <set>

#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/uuid.h"
#include "tables.h"

using namespace tessel;
using namespace pyvalues_tables;

TEST(Base64, EncodeAndDecodeAsPython) {
  for (const auto& c : kB64Encode) {
    EXPECT_EQ(base64_encode(c.in), c.out);
    EXPECT_EQ(base64_decode(c.out), c.in);
  }
  std::string reused = "left over from before";  // decoded into, case after case
  for (const auto& c : kB64Decode) {
    if (c.ok) {
      EXPECT_EQ(base64_decode(c.text), c.bytes) << c.text;
      base64_decode(c.text, reused);
      EXPECT_EQ(reused, c.bytes) << c.text;
      continue;
    }
    try {
      base64_decode(c.text);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const PyValueError& e) {
      EXPECT_EQ(std::string_view(e.what()), c.error);
    }
  }
}

TEST(Uuid, Uuid4HexIsRandomVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string u = uuid4_hex();
    ASSERT_EQ(u.size(), 32u);
    ASSERT_EQ(u.find_first_not_of("0123456789abcdef"), std::string::npos) << u;
    EXPECT_EQ(u[12], '4') << u;
    EXPECT_NE(std::string("89ab").find(u[16]), std::string::npos) << u;
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 1000u);
}
