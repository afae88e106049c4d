// Hex digits and percent-decoding.
#include "shared/pyvalues/percent.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace {

using tessel::hex_digit;
using tessel::percent_decode;

TEST(Percent, HexDigitOfEitherCaseAndNothingElse) {
  const std::string digits = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(hex_digit(digits[i]), i) << digits[i];
    EXPECT_EQ(hex_digit(static_cast<char>(std::toupper(digits[i]))), i) << digits[i];
  }
  for (char c : std::string("gG/:@`\x00\xff%+ ", 12)) EXPECT_EQ(hex_digit(c), -1) << static_cast<int>(c);
}

TEST(Percent, DecodesTwoHexDigitsAndLeavesTheRest) {
  struct Case {
    std::string in;
    bool plus_is_space;
    std::string out;
    bool high;
  };
  const Case cases[] = {
      {"", false, "", false},
      {"plain", false, "plain", false},
      {"a%41b%2fc%2F", false, "aAb/c/", false},
      {"%", false, "%", false},
      {"%4", false, "%4", false},
      {"x%41", false, "xA", false},  // the last three bytes
      {"%4g%g4%%41", false, "%4g%g4%A", false},
      {"a+b%2B", false, "a+b+", false},
      {"a+b%2B", true, "a b+", false},
      {"+", true, " ", false},
      {"%C3%A9", false, "\xC3\xA9", true},
      {"%FF", false, "\xFF", true},
      {"\xC3\xA9%41", false,
       "\xC3\xA9"
       "A",
       false},  // only decoded bytes count as high
      {"%00", false, std::string(1, '\0'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in + (c.plus_is_space ? " (+ is space)" : ""));
    bool high = !c.high;
    EXPECT_EQ(percent_decode(c.in, c.plus_is_space, &high), c.out);
    EXPECT_EQ(high, c.high);
    EXPECT_EQ(percent_decode(c.in, c.plus_is_space), c.out);
  }
}

}  // namespace
