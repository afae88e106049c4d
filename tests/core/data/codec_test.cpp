#include "core/data/codec.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

using namespace tessel;
using namespace std::string_view_literals;

TEST(Codec, CoreCodecGivesValidTextAndLogsFailures) {
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
