// The key scanner against the decoder: every text it takes decodes, and its
// key list is the one listed from the decoded value.
#include "schemix/key_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "schemix/keys.h"
#include "shared/pyvalues/pyjson.h"
#include "support/log_capture.h"

namespace tessel::schemix {
namespace {

TEST(KeyScan, AgreesWithTheDecoder) {
  struct Case {
    std::string text;
    bool taken;
  };
  const std::string deep = std::string(300, '[') + std::string(300, ']');
  const std::string long_int = "{\"n\":" + std::string(2000, '7') + "}";
  const Case cases[] = {
      {R"({"b":1,"a":{"d":[],"c":null}})", true},
      {R"( [ {"x":1}, 2, [ {"y":true} ], [] ] )", true},
      {R"({"a":1,"a":{"z":1},"b":0})", true},  // a repeated name keeps its last value
      {R"({"a":{"z":1},"a":2})", true},
      {"{\"\xc3\xa9\":\"\xc3\xbc\\u00e9\\n\",\"a\":\"\\ud800\",\"\xf0\x9f\x98\x80\":[]}", true},
      {R"({"n":-0,"f":1.0e+5,"x":NaN,"y":-Infinity,"z":Infinity,"big":123456789012345678901234567890,"e":1E-2})", true},
      {"\"text\"", true},
      {"5", true},
      {"null", true},
      {"{\"a\":\"raw\ttab\x01\"}", true},  // lenient: control characters in strings
      {"\t\r\n{}\n", true},
      {R"({"Z":1,"a":1,"_":1,"A":{"B":[{"C":1},{"C":2,"D":3}]}})", true},
      // left to the decoder
      {R"({"k\u0041":1})", false},
      {deep, false},
      {long_int, false},
      {"{\"a\":\"\xed\xa0\x80\"}", false},
      // rejected by both
      {"", false},
      {" ", false},
      {"{", false},
      {R"({"a":1,})", false},
      {"[1,]", false},
      {"01", false},
      {"1.", false},
      {"1e", false},
      {"-", false},
      {"{'a':1}", false},
      {"[1] x", false},
      {"\xef\xbb\xbf{}", false},
      {"{\"a\":\"\xff\"}", false},
      {"{\"a\":\"\xc0\xaf\"}", false},
      {R"("\x")", false},
      {R"("\u12")", false},
      {"nul", false},
      {"[1 2]", false},
      {R"({"a" 1})", false},
      {"\f{}", false},
      {"[-Inf]", false},
      {"\"open", false},
  };
  testing::LogCapture logs;
  KeyScanner scanner;
  for (const auto& c : cases) {
    std::vector<std::string_view> fast = {"kept"};
    const bool taken = scanner.scan(c.text, fast);
    EXPECT_EQ(taken, c.taken) << c.text;
    if (!taken) {
      EXPECT_EQ(fast.size(), 1u) << c.text;
      continue;
    }
    Json value;
    ASSERT_NO_THROW(value = json_loads(c.text, false)) << c.text;
    std::vector<std::string> slow = {"kept"};
    schemix_get_keys(value, slow, logs.sink());
    EXPECT_EQ(std::vector<std::string>(fast.begin(), fast.end()), slow) << c.text;
  }
  EXPECT_TRUE(logs.take().empty());
}

TEST(KeyScan, ListOrder) {
  KeyScanner scanner;
  std::vector<std::string_view> keys;
  ASSERT_TRUE(scanner.scan(R"({"b":{"y":1,"x":[{"q":1}]},"a":1,"b":{"w":2}})", keys));
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.end()), (std::vector<std::string>{"a", "w", "b"}));
  keys.clear();
  ASSERT_TRUE(scanner.scan(R"([{"b":{"y":1,"x":[{"q":1}]}},{"a":1}])", keys));
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.end()), (std::vector<std::string>{"q", "x", "y", "b", "a"}));
}

}  // namespace
}  // namespace tessel::schemix
