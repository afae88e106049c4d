// Schema inference golden texts and key lists of request bodies.
#include "schemix/schema_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "schemix/keys.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pyvalue.h"
#include "support/log_capture.h"

namespace tessel::schemix {
namespace {

std::string schema_of(const std::string& body) {
  SchemaBuilder b;
  b.add_object(json_loads(body));
  return canonical_text(b.to_schema());
}

struct GoldenCase {
  const char* body;
  const char* schema;
};

TEST(SchemaBuilder, GoldenTexts) {
  const GoldenCase cases[] = {
      {R"({"id":1,"name":"x","tags":[0,0.0,"",false]})",
       R"({"properties": {"id": {"type": "integer"}, "name": {"type": "string"}, "tags": {"items": {"type": ["boolean", "number", "string"]}, "type": "array"}}, "required": ["id", "name", "tags"], "type": "object"})"},
      {R"({"a":[{"x":1,"y":"s"},{"x":2.5}]})",
       R"({"properties": {"a": {"items": {"properties": {"x": {"type": "number"}, "y": {"type": "string"}}, "required": ["x"], "type": "object"}, "type": "array"}}, "required": ["a"], "type": "object"})"},
      {R"({"a":[{},1]})",
       R"({"properties": {"a": {"items": {"type": ["integer", "object"]}, "type": "array"}}, "required": ["a"], "type": "object"})"},
      {R"({"a":[{"k":1},1,null]})",
       R"({"properties": {"a": {"items": {"anyOf": [{"type": ["integer", "null"]}, {"properties": {"k": {"type": "integer"}}, "required": ["k"], "type": "object"}]}, "type": "array"}}, "required": ["a"], "type": "object"})"},
      {"{\"\xc3\xa9\":\"\xc3\xbc\",\"B\":1,\"a\":2}",
       R"({"properties": {"B": {"type": "integer"}, "a": {"type": "integer"}, "\u00e9": {"type": "string"}}, "required": ["B", "a", "\u00e9"], "type": "object"})"},
      // anyOf keeps the order in which the kinds first appeared
      {R"({"a":[{"k":1},[1]]})",
       R"({"properties": {"a": {"items": {"anyOf": [{"properties": {"k": {"type": "integer"}}, "required": ["k"], "type": "object"}, {"items": {"type": "integer"}, "type": "array"}]}, "type": "array"}}, "required": ["a"], "type": "object"})"},
      {R"({"a":[[1],{"k":1}]})",
       R"({"properties": {"a": {"items": {"anyOf": [{"items": {"type": "integer"}, "type": "array"}, {"properties": {"k": {"type": "integer"}}, "required": ["k"], "type": "object"}]}, "type": "array"}}, "required": ["a"], "type": "object"})"},
      // nested arrays of objects: one items node over every array at a place
      {R"({"o":[{"l":[{"p":1},{"p":"x","q":true}]},{"l":[{"p":null}]}]})",
       R"({"properties": {"o": {"items": {"properties": {"l": {"items": {"properties": {"p": {"type": ["integer", "null", "string"]}, "q": {"type": "boolean"}}, "required": ["p"], "type": "object"}, "type": "array"}}, "required": ["l"], "type": "object"}, "type": "array"}}, "required": ["o"], "type": "object"})"},
      // empty objects and arrays are plain kinds
      {R"({"e":{},"l":[],"m":[{}, {}]})",
       R"({"properties": {"e": {"type": "object"}, "l": {"type": "array"}, "m": {"items": {"type": "object"}, "type": "array"}}, "required": ["e", "l", "m"], "type": "object"})"},
      // mixed kinds: a plain type list before the nested kinds
      {R"({"v":[true,1,"s",null,{"a":1},[]]})",
       R"({"properties": {"v": {"items": {"anyOf": [{"type": ["array", "boolean", "integer", "null", "string"]}, {"properties": {"a": {"type": "integer"}}, "required": ["a"], "type": "object"}]}, "type": "array"}}, "required": ["v"], "type": "object"})"},
      // true is a boolean, never a number
      {R"({"b":[true,false,1]})",
       R"({"properties": {"b": {"items": {"type": ["boolean", "integer"]}, "type": "array"}}, "required": ["b"], "type": "object"})"},
      // integers of any size and -0 are integers; a fraction or exponent is a float
      {R"({"big":123456789012345678901234567890,"neg":-98765432109876543210987,"z":-0,"u":18446744073709551615})",
       R"({"properties": {"big": {"type": "integer"}, "neg": {"type": "integer"}, "u": {"type": "integer"}, "z": {"type": "integer"}}, "required": ["big", "neg", "u", "z"], "type": "object"})"},
      {R"({"e":1e3,"f":1.0,"h":1e400,"n":NaN})",
       R"({"properties": {"e": {"type": "number"}, "f": {"type": "number"}, "h": {"type": "number"}, "n": {"type": "number"}}, "required": ["e", "f", "h", "n"], "type": "object"})"},
      // keys beyond the BMP and keys needing escapes
      {"{\"\xf0\x9f\x98\x80\":1,\"\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87\":\"v\",\"q\\\"\\\\\":0}",
       R"({"properties": {"q\"\\": {"type": "integer"}, "\u043a\u043b\u044e\u0447": {"type": "string"}, "\ud83d\ude00": {"type": "integer"}}, "required": ["q\"\\", "\u043a\u043b\u044e\u0447", "\ud83d\ude00"], "type": "object"})"},
      // scalars and arrays at the top
      {R"("s")", R"({"type": "string"})"},
      {R"(null)", R"({"type": "null"})"},
      {R"([])", R"({"type": "array"})"},
      {R"({})", R"({"type": "object"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(schema_of(c.body), c.schema) << c.body;
}

TEST(SchemaBuilder, RequiredIsTheIntersectionOfEveryObjectSeen) {
  SchemaBuilder b;
  b.add_object(json_loads(R"({"a":1,"b":2,"c":3})"));
  b.add_object(json_loads(R"({"c":"x","a":1})"));
  EXPECT_EQ(
      canonical_text(b.to_schema()),
      R"({"properties": {"a": {"type": "integer"}, "b": {"type": "integer"}, "c": {"type": ["integer", "string"]}}, "required": ["a", "c"], "type": "object"})");
  b.add_object(json_loads(R"({})"));
  EXPECT_EQ(
      canonical_text(b.to_schema()),
      R"({"properties": {"a": {"type": "integer"}, "b": {"type": "integer"}, "c": {"type": ["integer", "string"]}}, "type": "object"})");
  b.add_object(json_loads("2.5"));
  EXPECT_EQ(
      canonical_text(b.to_schema()),
      R"({"anyOf": [{"type": "number"}, {"properties": {"a": {"type": "integer"}, "b": {"type": "integer"}, "c": {"type": ["integer", "string"]}}, "type": "object"}]})");
}

TEST(SchemaBuilder, FragmentTextInTheWrapper) {
  SchemaBuilder b;
  b.add_object(json_loads(R"({"id":1})"));
  Json fragment = {
      {"h", {{"/p", {{"post", {{"requestBody", {{"content", {{"*/*", {{"schema", b.to_schema()}}}}}}}}}}}}}};
  EXPECT_EQ(
      canonical_text(fragment),
      R"({"h": {"/p": {"post": {"requestBody": {"content": {"*/*": {"schema": {"properties": {"id": {"type": "integer"}}, "required": ["id"], "type": "object"}}}}}}}})");
}

Json nested_arrays(int depth) {
  Json root = Json::array();
  Json* cur = &root;
  for (int i = 0; i < depth; ++i) {
    cur->push_back(Json::array());
    cur = &cur->back();
  }
  return root;
}

TEST(SchemaBuilder, DeepNestingIsBounded) {
  const std::string deep = std::string(10000, '[') + std::string(10000, ']');
  EXPECT_THROW(json_loads(deep, false), PyValueError);

  SchemaBuilder b;
  EXPECT_THROW(b.add_object(nested_arrays(10000)), PyValueError);
  SchemaBuilder ok;
  ok.add_object(nested_arrays(500));
  EXPECT_TRUE(ok.to_schema().is_object());
}

TEST(SchemaBuilder, BytesHaveNoSchemaKind) {
  SchemaBuilder b;
  EXPECT_THROW(b.add_object(Json{{"b", py_bytes("x")}}), PyValueError);
}

std::vector<std::string> keys_of(Json& body, testing::LogCapture& logs) {
  std::vector<std::string> keys;
  schemix_get_keys(body, keys, logs.sink());
  return keys;
}

TEST(BodyKeys, WalkOrderAndFilledArrays) {
  testing::LogCapture logs;
  struct Case {
    const char* body;
    std::vector<std::string> keys;
    const char* after;
  };
  const Case cases[] = {
      {R"({"user":{"name":"n","id":1},"tags":[],"items":[{"sku":1},{"sku":2}]})",
       {"sku", "sku", "items", "tags", "id", "name", "user"},
       R"({"user": {"name": "n", "id": 1}, "tags": [0, 0.0, "", false], "items": [{"sku": 1}, {"sku": 2}]})"},
      {R"("text")", {}, R"("text")"},
      {R"(12)", {}, "12"},
      {R"(null)", {}, "null"},
      {R"({})", {}, "{}"},
      {R"([])", {}, R"([0, 0.0, "", false])"},
      {R"([[],[]])", {}, R"([[0, 0.0, "", false], [0, 0.0, "", false]])"},
      {R"({"B":1,"a":2})", {"B", "a"}, R"({"B": 1, "a": 2})"},
      {R"({"ab":1,"a":2})", {"a", "ab"}, R"({"ab": 1, "a": 2})"},
      {R"({"m":{}})", {"m"}, R"({"m": {}})"},
      {R"([1,{"x":1},"s",{"y":2,"b":[]}])",
       {"x", "b", "y"},
       R"([1, {"x": 1}, "s", {"y": 2, "b": [0, 0.0, "", false]}])"},
  };
  for (const auto& c : cases) {
    Json body = json_loads(c.body);
    EXPECT_EQ(keys_of(body, logs), c.keys) << c.body;
    EXPECT_EQ(json_dumps(body), c.after) << c.body;
    // a second walk gives the same list and fills nothing more
    EXPECT_EQ(keys_of(body, logs), c.keys) << c.body;
    EXPECT_EQ(json_dumps(body), c.after) << c.body;
  }
  EXPECT_TRUE(logs.take().empty());
}

TEST(BodyKeys, TooDeepAWalkEndsThereAndTheRestGoesOn) {
  testing::LogCapture logs;
  Json body = Json::object();
  body["a"] = 1;
  body["deep"] = Json::object();
  Json* cur = &body["deep"];
  for (int i = 0; i < kPyMaxDepth + 5; ++i) {
    (*cur)["k"] = Json::object();
    cur = &(*cur)["k"];
  }
  body["z"] = Json::array();
  auto keys = keys_of(body, logs);
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("error/schemix: An error occurred while processing data in schemix_get_keys: ", 0), 0u);
  ASSERT_GE(keys.size(), 3u);
  EXPECT_EQ(keys[0], "a");
  EXPECT_EQ(keys[1], "k");
  EXPECT_EQ(keys[keys.size() - 2], "deep");
  EXPECT_EQ(keys.back(), "z");
  EXPECT_EQ(json_dumps(body["z"]), R"([0, 0.0, "", false])");
}

TEST(BodyKeys, DisplayText) {
  EXPECT_EQ(keys_display({}), "[]");
  EXPECT_EQ(keys_display({"id", "it's", "a\\b", "\xc3\xa9"}), "['id', \"it's\", 'a\\\\b', '\xc3\xa9']");
}

}  // namespace
}  // namespace tessel::schemix
