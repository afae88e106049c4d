#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ingestor/detail.h"
#include "ingestor/ingestor.h"
#include "shared/pyvalues/pyjson.h"
#include "support/waf_messages.h"

namespace tessel::ingestor {
namespace {

std::string utf16le(std::string_view ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

std::string utf16be_bom(std::string_view ascii) {
  std::string out = "\xFE\xFF";
  for (char c : ascii) out += std::string{'\0', c};
  return out;
}

// Every body that is challenge-page traffic passes the cheap pre-check, in
// whatever form JSON allows for the key and the value; ordinary request
// messages skip the parse.
TEST(UnlockPreCheck, NoChallengeRequestSlipsThrough) {
  struct Case {
    std::string body;
    bool unlock;
  };
  const std::vector<Case> cases = {
      {R"({"request_type": "captcha", "request_id": "r"})", true},
      {R"({"request_type": "antibot"})", true},
      {R"({"request_type": "\u0063aptcha"})", true},
      {R"({"request\u005ftype": "antibot"})", true},
      {R"({"request_type": "ws", "request_type": "captcha"})", true},
      {"\xEF\xBB\xBF"
       R"({"request_type": "captcha"})",
       true},
      {utf16le(R"({"request_type": "antibot"})"), true},
      {utf16be_bom(R"({"request_type": "captcha"})"), true},
      {R"({"request_type": "AntiBot"})", false},
      {R"({"request_type": "captcha", "request_type": "ws"})", false},
  };
  for (const auto& c : cases) {
    const Json parsed = json_loads_bytes(c.body);
    EXPECT_EQ(is_unlock_request(parsed), c.unlock) << c.body;
    if (c.unlock) {
      EXPECT_TRUE(may_be_unlock_request(c.body)) << c.body;
    }
  }
  EXPECT_FALSE(may_be_unlock_request(testing::waf_message().dump()));
}

TEST(RequestBodiesStore, BodiesComeBackAsAddedInOrder) {
  const std::vector<std::string> bodies = {
      "{}", "", std::string(70000, 'a'), std::string(40000, 'b'), std::string(40000, 'c'), "{\"x\": 1}"};
  RequestBodies store;
  for (const auto& b : bodies) store.add(b);
  RequestBodies moved = std::move(store);
  EXPECT_TRUE(store.empty());
  store.add("after the move");
  EXPECT_THAT(std::vector<std::string>(moved.begin(), moved.end()), ::testing::ElementsAreArray(bodies));
  EXPECT_THAT(std::vector<std::string>(store.begin(), store.end()), ::testing::ElementsAre("after the move"));
}

}  // namespace
}  // namespace tessel::ingestor
