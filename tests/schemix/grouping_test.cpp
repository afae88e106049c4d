// Request grouping and schema inference over request records.
#include "schemix/grouping.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "schemix/generation.h"
#include "schemix/schema_builder.h"
#include "shared/pyvalues/pyjson.h"
#include "support/log_capture.h"

namespace tessel::schemix {
namespace {

SchemaRecord rec(std::string vhost, std::string url, std::string method, std::string body,
                 std::string schema_name = "h") {
  SchemaRecord r;
  r.request_id = "r";
  r.vhost = std::move(vhost);
  r.url = std::move(url);
  r.method = std::move(method);
  r.body = std::move(body);
  r.schema_name = std::move(schema_name);
  return r;
}

std::shared_ptr<SharedNamespace> fresh_nsi() {
  auto nsi = std::make_shared<SharedNamespace>();
  nsi->set("schemix_schemas_list", Json::array());
  return nsi;
}

bool starts_with(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

TEST(PathTemplate, DigitSegments) {
  const std::pair<const char*, const char*> cases[] = {
      {"/api/users/123/orders/0042/", "/api/users/{integer}/orders/{integer}/"},
      {"/items/12a", "/items/12a"},
      {"/items/-1", "/items/-1"},
      {"/files/a1/x", "/files/a1/x"},
      {"/", "/"},
      {"//7//", "//{integer}//"},
      {"/n/\xc2\xb2", "/n/{integer}"},          // superscript two
      {"/n/\xc2\xbd", "/n/\xc2\xbd"},           // one half
      {"/n/\xd9\xa3\xd9\xa4", "/n/{integer}"},  // Arabic-Indic digits
      {"12", "{integer}"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(template_path(in), out) << in;
}

TEST(Grouping, EmptyListGivesNothing) {
  testing::LogCapture logs;
  std::vector<SchemaRecord> none;
  EXPECT_TRUE(schemix_requests_processing(none, logs.sink(true)).empty());
  EXPECT_EQ(logs.take(), std::vector<std::string>{"debug/schemix: Schemix data for 0 request(s) processed"});
}

TEST(Grouping, FirstNonEmptyKeyListPerMethodIsChosen) {
  testing::LogCapture logs;
  std::vector<SchemaRecord> data = {rec("h", "/p", "POST", "{}"),
                                    rec("h", "/p", "POST", R"({"id":1,"name":"a","tags":[]})"),
                                    rec("h", "/p", "POST", R"({"id":1,"name":"a"})")};
  EXPECT_EQ(schemix_requests_processing(data, logs.sink()), std::vector<std::size_t>{1});
  // the chosen body is decoded with its empty arrays filled; the others keep their text
  EXPECT_EQ(json_dumps(data[1].body["tags"]), R"([0, 0.0, "", false])");
  EXPECT_EQ(data[2].body, Json(R"({"id":1,"name":"a"})"));
  EXPECT_TRUE(logs.take().empty());
}

TEST(Grouping, MethodsThatDifferInCaseChooseEachRecordTwice) {
  testing::LogCapture logs;
  std::vector<SchemaRecord> data = {rec("h", "/p", "POST", R"({"a":1})"), rec("h", "/p", "post", R"({"a":1})")};
  EXPECT_EQ(schemix_requests_processing(data, logs.sink()), (std::vector<std::size_t>{0, 1, 0, 1}));
}

TEST(Grouping, UrlsThatNormaliseAlikeShareAGroup) {
  testing::LogCapture logs;
  std::vector<SchemaRecord> data = {rec("Api.Example.com", "/users/7", "POST", R"({"a":1})"),
                                    rec("api.example.com", "/users//9/", "PUT", R"({"b":1})"),
                                    rec("api.example.com", "/users/./8", "post", R"({"c":1})")};
  const auto chosen = schemix_requests_processing(data, logs.sink());
  // the POST group scans both POST records; "post" is another method text
  EXPECT_EQ(chosen, (std::vector<std::size_t>{0, 2, 1, 0, 2}));
  EXPECT_EQ(data[0].url, "/users/{integer}");
  EXPECT_EQ(data[1].url, "/users//{integer}/");
}

TEST(Grouping, LaterChoicesLieWithinTenEditsOfTheLongestKeyList) {
  testing::LogCapture logs;
  // "['a', 'bcdefg']" is 10 edits from "['a']", "['a', 'bcdefgh']" 11
  std::vector<SchemaRecord> near = {rec("h", "/p", "POST", R"({"a":1,"bcdefg":2})"),
                                    rec("h", "/p", "post", R"({"a":1})")};
  EXPECT_EQ(schemix_requests_processing(near, logs.sink()), (std::vector<std::size_t>{0, 1, 0, 1}));
  std::vector<SchemaRecord> far = {rec("h", "/p", "POST", R"({"a":1,"bcdefgh":2})"),
                                   rec("h", "/p", "post", R"({"a":1})")};
  EXPECT_EQ(schemix_requests_processing(far, logs.sink()), (std::vector<std::size_t>{0, 0}));
  // edits count code points, not bytes
  std::vector<SchemaRecord> wide = {
      rec("h", "/p", "POST", "{\"a\":1,\"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\":2}"),
      rec("h", "/p", "post", R"({"a":1})")};
  EXPECT_EQ(schemix_requests_processing(wide, logs.sink()), (std::vector<std::size_t>{0, 1, 0, 1}));
  // a key list that grows becomes the pattern before the comparison
  std::vector<SchemaRecord> grow = {rec("h", "/p", "POST", R"({"a":1})"),
                                    rec("h", "/p", "post", R"({"a":1,"bcdefghijklmn":2})")};
  EXPECT_EQ(schemix_requests_processing(grow, logs.sink()), (std::vector<std::size_t>{0, 1, 0, 1}));
  EXPECT_TRUE(logs.take().empty());
}

TEST(Grouping, UndecodableBodiesAreLoggedAndNeverChosen) {
  testing::LogCapture logs;
  std::vector<SchemaRecord> data = {rec("h", "/p", "GET", ""), rec("h", "/p", "POST", R"([1,2])"),
                                    rec("h", "/q", "POST", std::string(10000, '[') + std::string(10000, ']'))};
  EXPECT_TRUE(schemix_requests_processing(data, logs.sink()).empty());
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(
      lines[0],
      "error/schemix: An error occurred in Schemix request processing while loading body as JSON: Expecting value: "
      "line 1 column 1 (char 0) (data: {'request_id': 'r', 'vhost': 'h', 'url': '/p', 'method': 'GET', "
      "'content-type': '', 'body': '', 'schema_name': 'h'})");
  EXPECT_TRUE(
      starts_with(lines[1], "error/schemix: An error occurred in Schemix request processing while loading body"));
  EXPECT_TRUE(data[0].body.is_string());
  EXPECT_EQ(data[1].body, Json("[1,2]"));  // decodable, listed, not chosen
}

TEST(Grouping, AHostThatCannotBeNormalisedSkipsOnlyItsRecord) {
  testing::LogCapture logs;
  std::vector<SchemaRecord> data = {rec("x..example.com", "/p", "POST", R"({"a":1})"),
                                    rec("ok.example.com", "/p", "POST", R"({"a":1})")};
  data.push_back(rec("", "/p", "POST", R"({"a":1})"));
  data.back().vhost = nullptr;
  EXPECT_EQ(schemix_requests_processing(data, logs.sink()), std::vector<std::size_t>{1});
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& l : lines)
    EXPECT_TRUE(starts_with(l, "error/schemix: An error occurred while Schemix data processing: ")) << l;
}

TEST(Grouping, AtMostFiveThousandRecordsPerGroup) {
  testing::LogCapture logs;
  for (const std::size_t n : {std::size_t{5000}, std::size_t{6000}}) {
    std::vector<SchemaRecord> data;
    for (std::size_t i = 0; i < n; ++i) data.push_back(rec("h", "/p", "POST", R"({"a":1})"));
    data.push_back(rec("h", "/other", "POST", R"({"a":1})"));
    EXPECT_EQ(schemix_requests_processing(data, logs.sink(true)), (std::vector<std::size_t>{0, n}));
    EXPECT_EQ(data[4999].dropped, false);
    if (n > 5000) {
      EXPECT_TRUE(data[5000].dropped);
    }
    EXPECT_EQ(logs.take(), std::vector<std::string>{"debug/schemix: Schemix data for 5001 request(s) processed"});
  }
}

std::vector<std::string> texts(const std::vector<Json>& fragments) {
  std::vector<std::string> out;
  for (const auto& f : fragments) out.push_back(canonical_text(f));
  return out;
}

std::string fragment_text(const std::string& name, const std::string& path, const std::string& method,
                          const std::string& schema) {
  return "{\"" + name + "\": {\"" + path + "\": {\"" + method +
         "\": {\"requestBody\": {\"content\": {\"*/*\": {\"schema\": " + schema + "}}}}}}}";
}

TEST(Generation, MergesTheBodiesOfEachGroup) {
  testing::LogCapture logs;
  auto nsi = fresh_nsi();
  std::vector<SchemaRecord> data = {rec("h", "/p", "POST", R"({"a":1,"b":{"x":1}})"),
                                    rec("h", "/p", "POST", R"({"b":{"y":2}})"),
                                    rec("h", "/arr", "PUT", R"([{"a":1},{"b":2}])")};
  for (auto& r : data) r.body = json_loads(r.body.get<std::string>());
  const auto out = schemix_schemas_generation(*nsi, data, {0, 1, 2}, logs.sink(true));
  EXPECT_EQ(
      texts(out),
      (std::vector<std::string>{
          fragment_text(
              "h", "/p", "post",
              R"({"properties": {"a": {"type": "integer"}, "b": {"properties": {"y": {"type": "integer"}}, "required": ["y"], "type": "object"}}, "required": ["a", "b"], "type": "object"})"),
          fragment_text(
              "h", "/arr", "put",
              R"({"properties": {"a": {"type": "integer"}, "b": {"type": "integer"}}, "required": ["a", "b"], "type": "object"})")}));
  EXPECT_EQ(logs.take(),
            std::vector<std::string>{
                "debug/schemix: Schemix schema generation for 3 request(s) is complete: 2 schema(s) generated"});
  // the same records again: nothing new
  EXPECT_TRUE(schemix_schemas_generation(*nsi, data, {0, 1, 2}, logs.sink(true)).empty());
  EXPECT_TRUE(logs.take().empty());
  // a new member changes only its group's fragment
  data[1].body["z"] = "s";
  EXPECT_EQ(schemix_schemas_generation(*nsi, data, {0, 1, 2}, logs.sink()).size(), 1u);
  EXPECT_EQ(nsi->get<Json>("schemix_schemas_list").size(), 3u);
}

TEST(Generation, ABadBodyFailsOnlyItsGroup) {
  testing::LogCapture logs;
  auto nsi = fresh_nsi();
  std::vector<SchemaRecord> data = {rec("h", "/bad", "POST", R"([{"a":1},2])"), rec("h", "/str", "POST", R"("text")"),
                                    rec("h", "/empty", "POST", "{}"),           rec("h", "/ok", "POST", R"({"a":1})"),
                                    rec("g", "/ok", "POST", R"({"a":1})", "g"), rec("h", "/ok", "GET", R"({"a":1})"),
                                    rec("h", "/ok", "get", R"({"a":1})")};
  for (auto& r : data) r.body = json_loads(r.body.get<std::string>());
  const auto out = schemix_schemas_generation(*nsi, data, {0, 1, 2, 3, 4, 5, 6}, logs.sink());
  const std::string s = R"({"properties": {"a": {"type": "integer"}}, "required": ["a"], "type": "object"})";
  // GET and get are two groups with equal fragments: the second is already recorded
  EXPECT_EQ(texts(out),
            (std::vector<std::string>{fragment_text("h", "/ok", "post", s), fragment_text("h", "/ok", "get", s),
                                      fragment_text("g", "/ok", "post", s)}));
  EXPECT_EQ(logs.take(),
            (std::vector<std::string>{
                "error/schemix: An error occurred while generating Schemix schema: 'int' object is not a mapping",
                "error/schemix: An error occurred while processing body in schema_data: incorrect data type (<class "
                "'str'>) (/str, POST)"}));
}

// A body nested as deep as the decoder allows makes a schema too deep to
// write as text: only its own endpoint is lost.
TEST(Generation, ATooDeepSchemaFailsOnlyItsGroup) {
  testing::LogCapture logs;
  auto nsi = fresh_nsi();
  std::string deep;
  for (int i = 0; i < 500; ++i) deep += "{\"a\":";
  deep += "1" + std::string(500, '}');
  std::vector<SchemaRecord> data = {rec("h", "/deep", "POST", deep), rec("h", "/ok", "POST", R"({"a":1})")};
  for (auto& r : data) r.body = json_loads(r.body.get<std::string>());
  const auto out = schemix_schemas_generation(*nsi, data, {0, 1}, logs.sink());
  EXPECT_EQ(texts(out), std::vector<std::string>{fragment_text(
                            "h", "/ok", "post",
                            R"({"properties": {"a": {"type": "integer"}}, "required": ["a"], "type": "object"})")});
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(starts_with(lines[0], "error/schemix: An error occurred while generating Schemix schema: ")) << lines[0];
  EXPECT_EQ(nsi->get<Json>("schemix_schemas_list").size(), 1u);
}

TEST(Generation, TwoHostsOfOnePatternMergeIntoOneFragment) {
  testing::LogCapture logs;
  auto nsi = fresh_nsi();
  std::vector<SchemaRecord> data = {rec("a.h", "/p", "POST", R"({"a":1})", "*.h"),
                                    rec("b.h", "/p", "POST", R"({"b":1})", "*.h")};
  for (auto& r : data) r.body = json_loads(r.body.get<std::string>());
  EXPECT_EQ(
      texts(schemix_schemas_generation(*nsi, data, {0, 1}, logs.sink())),
      std::vector<std::string>{fragment_text(
          "*.h", "/p", "post",
          R"({"properties": {"a": {"type": "integer"}, "b": {"type": "integer"}}, "required": ["a", "b"], "type": "object"})")});
}

TEST(Generation, RecordingIsOneStep) {
  auto nsi = fresh_nsi();
  const Json f = make_fragment("h", "/p", "post", Json{{"type", "object"}});
  EXPECT_TRUE(record_fragment(*nsi, f));
  EXPECT_FALSE(record_fragment(*nsi, json_loads(canonical_text(f))));
  forget_fragment(*nsi, f);
  EXPECT_TRUE(nsi->get<Json>("schemix_schemas_list").empty());
  EXPECT_TRUE(record_fragment(*nsi, f));
}

}  // namespace
}  // namespace tessel::schemix
