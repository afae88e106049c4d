#include "shared/pyvalues/digest.h"

#include <gtest/gtest.h>

#include <string>

namespace tessel {
namespace {

// Known digests; the input fed in two parts gives the same.
TEST(Digest, KnownValuesWholeAndInParts) {
  const struct {
    Digest::Kind kind;
    std::string input;
    std::string hex;
  } cases[] = {
      {Digest::Kind::md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {Digest::Kind::md5, "The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
      {Digest::Kind::sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {Digest::Kind::sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const auto& c : cases) {
    Digest whole(c.kind);
    whole.update(c.input);
    EXPECT_EQ(whole.hex(), c.hex) << c.input;
    Digest parts(c.kind);
    parts.update(std::string_view(c.input).substr(0, c.input.size() / 2));
    parts.update(std::string_view(c.input).substr(c.input.size() / 2));
    const std::string raw = parts.bytes();
    ASSERT_EQ(raw.size() * 2, c.hex.size());
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : raw) hex += {digits[b >> 4], digits[b & 15]};
    EXPECT_EQ(hex, c.hex) << c.input;
  }
}

}  // namespace
}  // namespace tessel
