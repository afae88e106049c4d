#include "shared/pyvalues/pyvalue.h"

#include <gtest/gtest.h>

#include <cmath>

#include "shared/pyvalues/pyjson.h"
#include "tables.h"

using namespace tessel;
using namespace pyvalues_tables;

namespace {

Json nested_list(int depth) {
  Json v = Json::array();
  for (int i = 1; i < depth; ++i) v = Json::array({std::move(v)});
  return v;
}

}  // namespace

TEST(PyValue, ReprOfScalarsMatchesPython) {
  for (const auto& c : kStrRepr) {
    EXPECT_EQ(py_repr_str(c.in), c.out) << c.in;
    EXPECT_EQ(py_repr(Json(std::string(c.in))), c.out);
  }
  for (const auto& c : kFloatRepr) EXPECT_EQ(py_repr(Json(c.x)), c.repr) << c.repr;
  for (const auto& c : kBytesRepr) EXPECT_EQ(py_repr(py_bytes(c.in)), c.out) << c.out;
}

TEST(PyValue, ReprAndStrOfContainers) {
  Json v = Json::object();
  v["k"] = Json::array({1, 2.0, nullptr, true, "it's", Json::object()});
  v["n"] = Json::array();
  v["u"] = std::uint64_t{18446744073709551615u};
  EXPECT_EQ(py_repr(v), "{'k': [1, 2.0, None, True, \"it's\", {}], 'n': [], 'u': 18446744073709551615}");
  EXPECT_EQ(py_str(v), py_repr(v));
  EXPECT_EQ(py_str(Json("it's")), "it's");
  EXPECT_EQ(py_str(Json(7.0)), "7.0");
  EXPECT_EQ(py_str(Json(nullptr)), "None");
  EXPECT_EQ(py_repr_tuple(Json::array()), "()");
  EXPECT_EQ(py_repr_tuple(Json::array({"a"})), "('a',)");
  EXPECT_EQ(py_repr_tuple(Json::array({1, "b"})), "(1, 'b')");
  EXPECT_EQ(py_repr(Json::array({py_bytes("x'")})), "[b\"x'\"]");
}

TEST(PyValue, DeepValuesFailCleanly) {
  EXPECT_NO_THROW(py_repr(nested_list(kPyMaxDepth)));
  EXPECT_THROW(py_repr(nested_list(kPyMaxDepth + 2)), PyValueError);
  EXPECT_THROW(py_equal(nested_list(kPyMaxDepth + 2), nested_list(kPyMaxDepth + 2)), PyValueError);
}

TEST(PyValue, TooDeepValueErrorNamesTheWriter) {
  const Json deep = nested_list(kPyMaxDepth + 2);
  const struct {
    std::string (*write)(const Json&);
    const char* message;
  } writers[] = {
      {[](const Json& v) { return py_repr(v); },
       "maximum recursion depth exceeded while getting the repr of an object"},
      {[](const Json& v) { return json_dumps(v); }, "maximum recursion depth exceeded while encoding a JSON object"},
  };
  for (const auto& w : writers) {
    try {
      w.write(deep);
      ADD_FAILURE() << "no error: " << w.message;
    } catch (const PyValueError& e) {
      EXPECT_STREQ(e.what(), w.message);
    }
  }
}

TEST(PyValue, BigIntsKeepTheirDigits) {
  struct Case {
    const char* digits;
    int base;
    bool negative;
    const char* repr;
    const char* type;
  } cases[] = {
      {"0", 10, true, "0", "number_integer"},
      {"00042", 10, false, "42", "number_integer"},
      {"9223372036854775807", 10, false, "9223372036854775807", "number_integer"},
      {"9223372036854775808", 10, true, "-9223372036854775808", "number_integer"},
      {"9223372036854775808", 10, false, "9223372036854775808", "number_unsigned"},
      {"18446744073709551616", 10, false, "18446744073709551616", "bigint"},
      {"9223372036854775809", 10, true, "-9223372036854775809", "bigint"},
      {"ffffffffffffffffffff", 16, false, "1208925819614629174706175", "bigint"},
      {"777", 8, false, "511", "number_integer"},
      {"1010", 2, true, "-10", "number_integer"},
  };
  for (const auto& c : cases) {
    Json v = py_make_int(c.digits, c.base, c.negative);
    EXPECT_EQ(py_repr(v), c.repr);
    EXPECT_TRUE(py_is_int(v));
    std::string type = py_is_bigint(v) ? "bigint" : v.type_name();
    if (v.is_number_unsigned()) type = "number_unsigned";
    if (v.is_number_integer() && !v.is_number_unsigned()) type = "number_integer";
    EXPECT_EQ(type, c.type) << c.repr;
  }
  EXPECT_EQ(std::string(py_type_name(py_make_int("1" + std::string(30, '0')))), "int");
  EXPECT_NO_THROW(py_make_int(std::string(kPyMaxIntDigits, '9')));
  EXPECT_THROW(py_make_int(std::string(kPyMaxIntDigits + 1, '9')), PyValueError);
  EXPECT_THROW(py_make_int(std::string(4000, 'f'), 16), PyValueError);
  EXPECT_FALSE(py_is_int(Json(true)));
  EXPECT_FALSE(py_is_int(Json(1.0)));
}

TEST(PyValue, Truthiness) {
  const Json falsy[] = {nullptr, false, 0, 0u, 0.0, -0.0, "", Json::array(), Json::object(), py_bytes("")};
  for (const auto& v : falsy) EXPECT_FALSE(py_truthy(v)) << py_repr(v);
  const Json truthy[] = {true,
                         1,
                         -1,
                         0.5,
                         NAN,
                         "0",
                         "false",
                         " ",
                         Json::array({nullptr}),
                         Json::object({{"a", 0}}),
                         py_bytes(std::string_view("\0", 1)),
                         py_make_int("1" + std::string(30, '0'))};
  for (const auto& v : truthy) EXPECT_TRUE(py_truthy(v)) << py_repr(v);
}

TEST(PyValue, IntegerConversionOfRequestFields) {
  struct Ok {
    Json in;
    std::int64_t out;
  } ok[] = {
      {7, 7},
      {-7, -7},
      {true, 1},
      {false, 0},
      {1700000000.9, 1700000000},
      {-0.5, 0},
      {-2.9, -2},
      {"42", 42},
      {" -5 ", -5},
      {"+8", 8},
      {"\t\n\u00a0 12\u3000", 12},
      {"0007", 7},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775807", INT64_MAX},
      {std::uint64_t{9223372036854775807u}, INT64_MAX},
  };
  for (const auto& c : ok) EXPECT_EQ(py_int(c.in), c.out) << py_repr(c.in);
  struct Bad {
    Json in;
    const char* error;
  } bad[] = {
      {nullptr, "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'"},
      {Json::array({1}), "int() argument must be a string, a bytes-like object or a real number, not 'list'"},
      {Json::object(), "int() argument must be a string, a bytes-like object or a real number, not 'dict'"},
      {"80a", "invalid literal for int() with base 10: '80a'"},
      {"", "invalid literal for int() with base 10: ''"},
      {" ", "invalid literal for int() with base 10: ' '"},
      {"1.5", "invalid literal for int() with base 10: '1.5'"},
      {"+-1", "invalid literal for int() with base 10: '+-1'"},
      {"1_000", "invalid literal for int() with base 10: '1_000'"},
      {"\u0663", "invalid literal for int() with base 10: '\u0663'"},
      {NAN, "cannot convert float NaN to integer"},
      {HUGE_VAL, "cannot convert float infinity to integer"},
      {1e19, "integer out of range: 1e+19"},
      {"9223372036854775808", "integer out of range: '9223372036854775808'"},
      {std::uint64_t{9223372036854775808u}, "integer out of range: 9223372036854775808"},
      {py_make_int("1" + std::string(20, '0')), "integer out of range: 100000000000000000000"},
  };
  for (const auto& c : bad) {
    try {
      py_int(c.in);
      ADD_FAILURE() << "no error for " << py_repr(c.in);
    } catch (const PyValueError& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
}

TEST(PyValue, EqualityFollowsPython) {
  Json two64 = py_make_int("18446744073709551616");
  Json two64p1 = py_make_int("18446744073709551617");
  struct Case {
    Json a, b;
    bool eq;
  } cases[] = {
      {1, 1.0, true},
      {1, true, true},
      {1.0, true, true},
      {0, false, true},
      {0, nullptr, false},
      {"", nullptr, false},
      {"1", 1, false},
      {9007199254740993, 9007199254740992.0, false},
      {9007199254740992, 9007199254740992.0, true},
      {std::uint64_t{18446744073709551615u}, 18446744073709551615.0, false},
      {two64, 18446744073709551616.0, true},
      {two64p1, 18446744073709551616.0, false},
      {two64, two64, true},
      {two64, two64p1, false},
      {NAN, NAN, false},
      {0.0, -0.0, true},
      {Json::object({{"a", 1}, {"b", 2}}), Json::object({{"b", 2.0}, {"a", true}}), true},
      {Json::object({{"a", 1}}), Json::object({{"a", 1}, {"b", 2}}), false},
      {Json::array({1, 2}), Json::array({2, 1}), false},
      {Json::array({1, "x"}), Json::array({1.0, "x"}), true},
      {py_bytes("a"), "a", false},
      {py_bytes("a"), py_bytes("a"), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(py_equal(c.a, c.b), c.eq) << py_repr(c.a) << " == " << py_repr(c.b);
    EXPECT_EQ(py_equal(c.b, c.a), c.eq) << py_repr(c.b) << " == " << py_repr(c.a);
  }
}
