#include "shared/pyvalues/pytext.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <unordered_map>

#include "shared/pyvalues/utf8.h"
#include "tables.h"

using namespace tessel;
using namespace pyvalues_tables;

namespace {

std::string enc(char32_t c) {
  std::string s;
  utf8_append(s, c);  // surrogates in their 3-byte form
  return s;
}

// Characters newer than the reference interpreter's Unicode data cannot be
// checked against it.
bool known_to_reference(char32_t c) {
  UVersionInfo age;
  u_charAge(static_cast<UChar32>(c), age);
  return age[0] < 14 || (age[0] == 14 && age[1] == 0);
}

template <std::size_t N>
bool in_ranges(const CpRange (&rs)[N], char32_t c) {
  for (const auto& r : rs)
    if (c >= r.lo && c <= r.hi) return true;
  return false;
}

}  // namespace

TEST(PyText, PropertiesOfEveryCodePointMatchPython) {
  std::unordered_map<char32_t, std::string_view> lower;
  for (const auto& l : kLowerMap) lower.emplace(l.cp, l.lower);
  int checked = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    bool assigned = u_charType(static_cast<UChar32>(c)) != U_UNASSIGNED;
    if (assigned && !known_to_reference(c)) continue;
    std::string s = enc(c);
    ASSERT_EQ(py_isprintable(c), !in_ranges(kNotPrintable, c)) << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(py_isdigit(s), in_ranges(kDigitRanges, c)) << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(py_isspace(c), in_ranges(kSpaceRanges, c)) << std::hex << static_cast<unsigned>(c);
    if (assigned) {
      auto it = lower.find(c);
      ASSERT_EQ(py_lower(s), it == lower.end() ? std::string_view(s) : it->second)
          << std::hex << static_cast<unsigned>(c);
    }
    ++checked;
  }
  EXPECT_GT(checked, 280000);
}

TEST(PyText, LowerStripNfcIsdigitOnTexts) {
  for (const auto& c : kLowerStrings) EXPECT_EQ(py_lower(c.in), c.out) << c.in;
  for (const auto& c : kStripStrings) EXPECT_EQ(py_strip(c.in), c.out) << c.in;
  for (const auto& c : kNfcStrings) EXPECT_EQ(py_nfc(c.in), c.out) << c.in;
  for (const auto& c : kDigitStrings) EXPECT_EQ(py_isdigit(c.in), c.value) << c.in;
  EXPECT_FALSE(py_isspace(std::string_view("")));
  EXPECT_TRUE(py_isspace(std::string_view(" \u3000\t")));
}

TEST(PyText, LenAndSliceCountCodePoints) {
  EXPECT_EQ(py_len(""), 0u);
  EXPECT_EQ(py_len("h\u00e9\u20ac\U0001F600"), 4u);
  EXPECT_EQ(py_len("\xed\xa0\x80x"), 2u);  // a lone surrogate is one code point
  EXPECT_EQ(py_len("a\xff\xc3"), 3u);      // a stray byte counts as one
  for (const auto& c : kSlices)
    EXPECT_EQ(py_slice(c.s, c.start, c.stop), c.out) << c.s << " " << c.start << " " << c.stop;
  EXPECT_EQ(py_slice("h\u00e9llo", 1), "\u00e9llo");
  // Chunking a long text by repeated slicing of the rest.
  std::string text = "\u00e9a\u20acb\U0001F600c";
  std::string_view rest = text;
  std::vector<std::string_view> chunks;
  while (!rest.empty()) {
    auto piece = py_slice(rest, 0, 4);
    chunks.push_back(piece);
    rest.remove_prefix(piece.size());
  }
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], "\u00e9a\u20acb");
  EXPECT_EQ(chunks[1], "\U0001F600c");
}

TEST(PyText, Utf8DecodingStrictAndReplacing) {
  for (const auto& c : kUtf8Decode) {
    if (c.ok) {
      EXPECT_EQ(py_decode_utf8(c.bytes), c.strict);
    } else {
      try {
        py_decode_utf8(c.bytes);
        ADD_FAILURE() << "no error for " << c.bytes;
      } catch (const UnicodeDecodeError& e) {
        EXPECT_EQ(std::string_view(e.what()), c.strict);
      }
    }
    std::string replaced = py_decode_utf8_replace(c.bytes);
    EXPECT_EQ(replaced, c.replaced);
    EXPECT_TRUE(utf8_valid(replaced));
  }
}

TEST(PyText, CodePointsOfUtf8AndWtf8) {
  // The two readers differ only on encoded surrogates, which WTF-8 keeps.
  const struct {
    std::string_view bytes;
    std::u32string utf8;
    std::u32string wtf8;
  } cases[] = {
      {"", U"", U""},
      {"a\xC3\xA9z", U"a\u00E9z", U"a\u00E9z"},
      {"\xF0\x9F\x98\x80!", U"\U0001F600!", U"\U0001F600!"},
      {"a\xED\xA0\x80"
       "b",
       U"a\uFFFD\uFFFD\uFFFDb", std::u32string{U'a', char32_t{0xD800}, U'b'}},
      {"\xC3", U"\uFFFD", U"\uFFFD"},
      {"\xFF"
       "a\x80",
       U"\uFFFDa\uFFFD", U"\uFFFDa\uFFFD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_to_u32(c.bytes), c.utf8) << c.bytes;
    EXPECT_EQ(wtf8_to_u32(c.bytes), c.wtf8) << c.bytes;
  }
}
