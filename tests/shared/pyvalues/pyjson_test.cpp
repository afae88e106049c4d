#include "shared/pyvalues/pyjson.h"

#include <gtest/gtest.h>

#include "shared/pyvalues/pytext.h"
#include "tables.h"

using namespace tessel;
using namespace pyvalues_tables;

namespace {

template <class Loads>
void check_loads(const JsonCase& c, Loads loads) {
  std::string label = std::string(c.text) + (c.strict ? " (strict)" : " (lenient)");
  if (!c.ok) {
    try {
      Json v = loads(c.text, c.strict);
      ADD_FAILURE() << label << ": no error, got " << py_repr(v);
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string_view(e.what()), c.repr) << label;
    }
    return;
  }
  try {
    Json v = loads(c.text, c.strict);
    EXPECT_EQ(py_repr(v), c.repr) << label;
    EXPECT_EQ(json_dumps(v), c.dumps) << label;
    EXPECT_EQ(json_dumps(v, true), c.dumps_sorted) << label;
    // What json_dumps writes reads back to an equal value.
    EXPECT_EQ(json_dumps(json_loads(json_dumps(v))), c.dumps) << label;
  } catch (const std::exception& e) {
    ADD_FAILURE() << label << ": " << e.what();
  }
}

std::string nested(int depth, char open, char close) { return std::string(depth, open) + std::string(depth, close); }

}  // namespace

TEST(PyJson, LoadsMatchesPython) {
  for (const auto& c : kJsonLoads) check_loads(c, [](std::string_view t, bool s) { return json_loads(t, s); });
}

TEST(PyJson, LoadsBytesDetectsTheEncoding) {
  for (const auto& c : kJsonLoadsBytes)
    check_loads(c, [](std::string_view t, bool s) { return json_loads_bytes(t, s); });
}

TEST(PyJson, DumpsEscapesAsPython) {
  for (const auto& c : kJsonDumpStrings) EXPECT_EQ(json_dumps(Json(std::string(c.in))), c.out) << c.out;
  EXPECT_THROW(json_dumps(Json::array({py_bytes("x")})), PyValueError);
}

TEST(PyJson, EqualityOfParsedValues) {
  for (const auto& c : kPyEqual) EXPECT_EQ(py_equal(json_loads(c.a), json_loads(c.b)), c.equal) << c.a << " == " << c.b;
}

TEST(PyJson, DeepNestingFailsCleanly) {
  std::string ok = nested(kPyMaxDepth, '[', ']');
  EXPECT_EQ(json_dumps(json_loads(ok)), ok);
  std::string chain;  // {"a": {"a": ... 1}}
  for (int i = 0; i < kPyMaxDepth + 1; ++i) chain += "{\"a\": ";
  chain += "1" + std::string(kPyMaxDepth + 1, '}');
  for (const std::string& deep : {nested(kPyMaxDepth + 1, '[', ']'), chain, std::string(1000000, '[')}) {
    try {
      json_loads(deep);
      ADD_FAILURE() << "no error";
    } catch (const JsonDecodeError& e) {
      ADD_FAILURE() << "a syntax error instead of the depth error: " << e.what();
    } catch (const PyValueError& e) {
      EXPECT_NE(std::string(e.what()).find("maximum recursion depth exceeded"), std::string::npos);
    }
  }
}

TEST(PyJson, LargeObjectsKeepOrderAndLastValue) {
  std::string text = "{";
  const int n = 50000;
  for (int i = 0; i < n; ++i) text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  text += "\"k7\": \"last\", \"k40000\": null}";
  Json v = json_loads(text);
  ASSERT_EQ(v.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(v.begin().key(), "k0");
  EXPECT_EQ(v["k7"], "last");
  EXPECT_TRUE(v["k40000"].is_null());
  EXPECT_EQ(std::next(v.begin(), 7).key(), "k7");
  EXPECT_EQ(std::prev(v.end()).key(), "k" + std::to_string(n - 1));
}

// Objects read one after another and inside each other, on both sides of
// the size at which duplicate keys are found through an index, and after a
// text that failed halfway through an object.
TEST(PyJson, ObjectsOfEverySizeKeepFirstPlaceAndLastValue) {
  for (const int n : {1, 2, 31, 32, 33, 40, 300}) {
    SCOPED_TRACE(n);
    std::string text = "{";
    Json want = Json::object();
    for (int i = 0; i < n; ++i) {
      const std::string k = "k" + std::to_string(i);
      text += "\"" + k + "\": " + std::to_string(i) + ", ";
      want[k] = i;
    }
    text += "\"inner\": {\"a\": 1, \"b\": {\"c\": 2, \"c\": 3}, \"a\": 4}, \"k0\": \"last\"}";
    want["k0"] = "last";
    want["inner"] = Json::parse(R"({"a": 4, "b": {"c": 3}})");
    const Json got = json_loads(text);
    EXPECT_EQ(json_dumps(got), json_dumps(want));
    EXPECT_THROW(json_loads(text.substr(0, text.size() / 2)), JsonDecodeError);
    EXPECT_EQ(json_dumps(json_loads(R"({"x": {"y": 1}})")), R"({"x": {"y": 1}})");
  }
}

TEST(PyJson, ErrorsCarryPositionsInCodePoints) {
  try {
    json_loads("{\"\u00e9\u00e9\": 1,\n \"\u20ac\" 2}");
    FAIL();
  } catch (const JsonDecodeError& e) {
    EXPECT_EQ(e.msg, "Expecting ':' delimiter");
    EXPECT_EQ(e.pos, 15u);
    EXPECT_EQ(e.lineno, 2u);
    EXPECT_EQ(e.colno, 6u);
  }
  EXPECT_THROW(json_loads("\"\xff\""), JsonDecodeError);  // text that is not UTF-8
  EXPECT_THROW(json_loads("\"\xc3\""), JsonDecodeError);
}
