#include <gtest/gtest.h>

#include "shared/runtime/log_sink.h"

#include <set>

#include "core/data/codec.h"
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

TEST(Base64, CoreCodecGivesValidTextAndLogsFailures) {
  auto q_ec_ptr = std::make_shared<EventQueue>();
  auto log_ptr = std::make_shared<Logger>("codec-test");
  EventQueue& q_ec = *q_ec_ptr;
  const LogSink sink{q_ec_ptr, log_ptr, false};
  EXPECT_EQ(core::b64e("\xff\x00x"sv, sink), "/wB4");
  EXPECT_EQ(core::b64d("w6k=", false, sink), "\u00e9");
  EXPECT_EQ(core::b64d("/+8=", false, sink), "\uFFFD\uFFFD");
  EXPECT_EQ(core::b64d(std::string("/+8="), true, sink), "\xff\xef");
  EXPECT_EQ(q_ec.qsize(), 0u);

  EXPECT_EQ(core::b64d("YQ", false, sink), "");
  EXPECT_EQ(core::b64d(Json(42), false, sink), "");
  EXPECT_EQ(core::b64d(Json("YWJj"), false, sink), "abc");
  auto events = q_ec.drain();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["level"], "error");
  EXPECT_EQ(events[0]["category"], "parsing");
  EXPECT_EQ(events[0]["message"], "An error occurred while decoding base64 data: Incorrect padding");
  EXPECT_EQ(events[1]["message"],
            "An error occurred while decoding base64 data: argument should be a bytes-like object or ASCII string, "
            "not 'int'");
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
