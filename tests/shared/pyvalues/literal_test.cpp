#include <gtest/gtest.h>

#include "shared/pyvalues/levenshtein.h"
#include "shared/pyvalues/literal_eval.h"
#include "tables.h"

using namespace tessel;
using namespace pyvalues_tables;

TEST(LiteralEval, AcceptsAndRejectsAsPython) {
  for (const auto& c : kLiteralEval) {
    std::string label(c.source.substr(0, 80));
    try {
      Json v = literal_eval(c.source);
      if (c.ok)
        EXPECT_EQ(py_repr(v), c.repr) << label;
      else
        ADD_FAILURE() << label << ": accepted as " << py_repr(v);
    } catch (const LiteralError& e) {
      if (c.ok) ADD_FAILURE() << label << ": " << e.what();
    }
  }
}

TEST(LiteralEval, ValueKindsAndErrorTexts) {
  Json v = literal_eval("{'b': b'\\x00k', 't': (1,), 's': {2, 2.0}, 'big': 10000000000000000000000}");
  EXPECT_TRUE(py_is_bytes(v["b"]));
  EXPECT_EQ(py_bytes_view(v["b"]), std::string_view("\0k", 2));
  EXPECT_EQ(v["t"], Json::array({1}));
  EXPECT_EQ(v["s"], Json::array({2}));
  EXPECT_TRUE(py_is_bigint(v["big"]));
  struct Bad {
    const char* source;
    const char* error;
  } bad[] = {
      {"true", "malformed node or string on line 1: true"},
      {"{'status': null}", "malformed node or string on line 1: null"},
      {"[1,\n 2,\n x]", "malformed node or string on line 3: x"},
      {"[1 2]", "malformed node or string on line 1: 2"},
      {"[1, ,]", "invalid syntax (<unknown>, line 1)"},
      {"'abc", "unterminated string literal (detected at line 1) (<unknown>, line 1)"},
      {"1j", "complex numbers are not supported (line 1)"},
      {"{1: 'a'}", "dict keys other than str are not supported: 1 (line 1)"},
      {"{[1]: 'a'}", "unhashable type: 'list'"},
      {"{[1]}", "unhashable type: 'list'"},
  };
  for (const auto& c : bad) {
    try {
      literal_eval(c.source);
      ADD_FAILURE() << "accepted: " << c.source;
    } catch (const LiteralError& e) {
      EXPECT_EQ(std::string(e.what()), c.error) << c.source;
    }
  }
  try {
    literal_eval(std::string_view("'a'\0", 4));
    ADD_FAILURE() << "accepted a null byte";
  } catch (const LiteralError& e) {
    EXPECT_EQ(std::string(e.what()), "source code string cannot contain null bytes");
  }
  EXPECT_THROW(literal_eval("'\xff'"), LiteralError);
  EXPECT_THROW(literal_eval("'\xed\xa0\x80'"), LiteralError);  // a surrogate in the source
}

TEST(LiteralEval, LargeCollectionsStayLinear) {
  std::string dict = "{", set = "{";
  for (int i = 0; i < 100000; ++i) {
    dict += "'k" + std::to_string(i % 60000) + "': " + std::to_string(i) + ", ";
    set += "'v" + std::to_string(i % 70000) + "', ";
  }
  Json d = literal_eval(dict + "}");
  Json s = literal_eval(set + "}");
  EXPECT_EQ(d.size(), 60000u);
  EXPECT_EQ(d["k5"], 60005);
  EXPECT_EQ(s.size(), 70000u);
}

TEST(Levenshtein, DistancesOverCodePoints) {
  for (const auto& c : kLevenshtein) {
    EXPECT_EQ(levenshtein(c.a, c.b), c.distance) << c.a << " / " << c.b;
    EXPECT_EQ(levenshtein(c.b, c.a), c.distance) << c.b << " / " << c.a;
    for (std::size_t bound = 0; bound <= c.distance + 2; ++bound) {
      std::size_t want = c.distance <= bound ? c.distance : bound + 1;
      ASSERT_EQ(levenshtein(c.a, c.b, bound), want) << c.a << " / " << c.b << " bound " << bound;
    }
  }
}

TEST(Levenshtein, BoundedCallOnLongTextsGivesUpEarly) {
  std::string a(200000, 'a'), b = a;
  b[1000] = 'b';
  b[150000] = 'c';
  EXPECT_EQ(levenshtein(a, b, 10), 2u);
  EXPECT_EQ(levenshtein(a, std::string(200000, 'z'), 10), 11u);
  EXPECT_EQ(levenshtein(a, a + std::string(11, 'x'), 10), 11u);
}
