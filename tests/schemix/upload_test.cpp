// Schema upload and the settings lists against a loopback management API.
#include "schemix/upload.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "schemix/generation.h"
#include "schemix/schema_builder.h"
#include "schemix/schemix_settings.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/pyjson.h"
#include "support/api_context.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessel::schemix {
namespace {

using testing::CannedResponse;
using testing::LoopbackHttpServer;

bool starts_with(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

Json fragment(const std::string& name, const std::string& path, const std::string& method) {
  return make_fragment(name, path, method, Json{{"type", "object"}, {"required", {"\xc3\xa9"}}});
}

TEST(Upload, WireBodyAndDuplicates) {
  LoopbackHttpServer server;
  server.route("POST", "/set", CannedResponse{201, R"({"status": "success"})"});
  testing::LogCapture logs;
  // equal content inserted in another order is sent once
  Json reordered = json_loads(
      R"({"h": {"/p": {"post": {"requestBody": {"content": {"*/*": {"schema": {"required": ["\u00e9"], "type": "object"}}}}}}}})");
  const auto failed =
      schemix_schemas_api_set(server.url("/set"), {fragment("h", "/p", "post"), reordered, fragment("h", "/p", "put")},
                              testing::api_context("k1"), logs.sink());
  EXPECT_TRUE(failed.empty());
  EXPECT_TRUE(logs.take().empty());
  const auto reqs = server.requests_to("/set");
  ASSERT_EQ(reqs.size(), 2u);
  const std::string canonical =
      R"({"h": {"/p": {"post": {"requestBody": {"content": {"*/*": {"schema": {"required": ["\u00e9"], "type": "object"}}}}}}}})";
  EXPECT_EQ(reqs[0].body, R"({"key": "k1", "set": {"schema_name": "h", "url": "/p", "schema": ")" +
                              base64_encode(canonical) + "\"}}");
  EXPECT_EQ(base64_decode(json_loads(reqs[1].body)["set"]["schema"].get<std::string>()),
            canonical_text(fragment("h", "/p", "put")));
  EXPECT_FALSE(reqs[0].has_header("Content-Type"));
  EXPECT_FALSE(reqs[0].has_header("Expect"));
}

TEST(Upload, RepliesAndFailures) {
  LoopbackHttpServer server;
  struct Case {
    CannedResponse reply;
    bool debug;
    std::vector<std::string> lines;
    bool accepted;
  };
  const Case cases[] = {
      {{201, R"({"status": "success"})"}, false, {}, true},
      {{200, R"({'status': 'success'})"},
       true,
       {"debug/api: Sending the updated Schemix schema (h): <Response [200]>"},
       true},
      {{210, R"({"status": "success"})"},
       false,
       {"error/api: An error occurred while sending data to URL: <Response [210]>"},
       false},
      {{404, ""}, false, {"error/api: An error occurred while sending data to URL: <Response [404]>"}, false},
      {{200, R"({"status": "error"})"},
       false,
       {"error/api: An error occurred while receiving data from URL: {'status': 'error'}"},
       false},
      // JSON's literals in an accepting reply
      {{200, R"({"status": "success", "ok": true})"}, false, {}, true},
      {{200, R"({"status": "success", "errors": null, "retry": false})"}, false, {}, true},
      {{200, R"({"status": "fail", "ok": false, "why": null})"},
       false,
       {"error/api: An error occurred while receiving data from URL: {'status': 'fail', 'ok': False, 'why': None}"},
       false},
      {{200, R"({'status': 'success', 'ok': True})"}, false, {}, true},
      // neither JSON nor a literal
      {{200, R"({"status": "success", "ok": true,})"},
       false,
       {"error/api: An error occurred while receiving data from URL: malformed node or string on line 1: true"},
       false},
      {{200, R"([1])"},
       false,
       {"error/api: An error occurred while receiving data from URL: 'list' object has no attribute 'get'"},
       false},
  };
  for (const auto& c : cases) {
    server.route("POST", "/set", c.reply);
    testing::LogCapture logs;
    const auto failed = schemix_schemas_api_set(server.url("/set"), {fragment("h", "/p", "post")},
                                                testing::api_context("k"), logs.sink(c.debug));
    auto lines = logs.take();
    for (auto& l : lines)
      if (auto at = l.find(server.url("/set")); at != std::string::npos)
        l.replace(at, server.url("/set").size(), "URL");
    EXPECT_EQ(lines, c.lines) << c.reply.status << " " << c.reply.body;
    EXPECT_EQ(failed.size(), c.accepted ? 0u : 1u) << c.reply.status << " " << c.reply.body;
  }
}

TEST(Upload, RefusedConnectionIsANetworkFailureAndTheRestIsStillSent) {
  testing::LogCapture logs;
  const auto failed =
      schemix_schemas_api_set("http://127.0.0.1:1/set", {fragment("h", "/a", "post"), fragment("h", "/b", "post")},
                              testing::api_context("k"), logs.sink());
  EXPECT_EQ(failed.size(), 2u);
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& l : lines)
    EXPECT_TRUE(starts_with(l, "error/network: An error occurred while sending data to ")) << l;
  EXPECT_TRUE(schemix_schemas_api_set("http://127.0.0.1:1/set", {}, testing::api_context("k"), logs.sink()).empty());
  EXPECT_TRUE(logs.take().empty());
}

TEST(Upload, AFragmentWithoutSchemaNameLevelFailsAlone) {
  LoopbackHttpServer server;
  server.route("POST", "/set", CannedResponse{200, R"({"status": "success"})"});
  testing::LogCapture logs;
  const auto failed =
      schemix_schemas_api_set(server.url("/set"), {Json{{"h", Json::object()}}, fragment("h", "/p", "post")},
                              testing::api_context("k"), logs.sink());
  EXPECT_EQ(failed.size(), 1u);
  EXPECT_EQ(server.requests_to("/set").size(), 1u);
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(starts_with(lines[0], "error/api: An error occurred while sending data to ")) << lines[0];
}

// The settings lists: hash endpoints and list endpoints under "/get_schemix_".
class SettingsTest : public ::testing::Test {
 protected:
  void answer(const std::string& list, int hash_status, const std::string& hash_body, int data_status,
              const std::string& data_body) {
    server.route("POST", "/get_schemix_" + list + "_hash", CannedResponse{hash_status, hash_body});
    server.route("POST", "/get_schemix_" + list, CannedResponse{data_status, data_body});
  }
  std::tuple<Json, Json, Json> call(bool debug = false) {
    return schemix_settings_get(hashes, server.url("/get_schemix_"), dir.str(),
                                testing::api_context("k", Json{{"X-A", "1"}}), logs.sink(debug));
  }
  std::size_t downloads(const std::string& list) { return server.requests_to("/get_schemix_" + list).size(); }

  LoopbackHttpServer server;
  testing::TempDir dir;
  testing::LogCapture logs;
  Json hashes = Json::object();
};

TEST_F(SettingsTest, UnreachableApiOnAFreshDirectory) {
  auto [url, exclude, out] = schemix_settings_get(hashes, "http://127.0.0.1:1/vx-api/get_schemix_", dir.str(),
                                                  testing::api_context("k"), logs.sink());
  EXPECT_EQ(url, Json::array());
  EXPECT_EQ(exclude, Json::array());
  EXPECT_EQ(out, Json::object());
  EXPECT_EQ(testing::read_file(dir.file("schemix_url.json")), "");
  EXPECT_EQ(testing::read_file(dir.file("schemix_exclude_paths.json")), "");
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& l : lines)
    EXPECT_TRUE(starts_with(l, "error/network: An error occurred while receiving data from ")) << l;
}

TEST_F(SettingsTest, AHashChangeDownloadsOnce) {
  answer("url", 200, R"({"status": "success", "hash": "h1"})", 200, R"({"url": ["a/x", "", null, "a/x", false]})");
  answer(
      "exclude_paths", 200, R"({"status": "none"})", 200,
      R"({"exclude_paths": [{"schema_name": "s", "url": "/p"}, {"schema_name": "s", "url": "/p"}, {"schema_name": "", "url": ""}, {"schema_name": "s"}, {"schema_name": "s", "url": 5}]})");
  auto [url, exclude, out] = call();
  EXPECT_EQ(url, json_loads(R"(["a/x", "a/x"])"));
  EXPECT_EQ(exclude, json_loads(R"(["s/p"])"));
  EXPECT_EQ(out, json_loads(R"({"url": "h1", "exclude_paths": "none"})"));
  EXPECT_TRUE(logs.take().empty());
  // unchanged hashes: no download, the same lists from the cache files
  auto again = call();
  EXPECT_EQ(std::get<0>(again), url);
  EXPECT_EQ(std::get<1>(again), exclude);
  EXPECT_EQ(downloads("url"), 1u);
  EXPECT_EQ(downloads("exclude_paths"), 1u);
  // a new hash downloads again
  answer("url", 200, R"({'status': 'success', 'hash': 'h2'})", 200, R"({"url": ["b/y"]})");
  EXPECT_EQ(std::get<0>(call()), json_loads(R"(["b/y"])"));
  EXPECT_EQ(downloads("url"), 2u);
  EXPECT_EQ(hashes["url"], "h2");
  // the request: the key as JSON, Content-Type added to the service's headers
  const auto req = server.requests_to("/get_schemix_url_hash").front();
  EXPECT_EQ(req.body, R"({"key": "k"})");
  EXPECT_EQ(req.header("Content-Type"), "application/json");
  EXPECT_EQ(req.header("X-A"), "1");
}

TEST_F(SettingsTest, AFailedDownloadKeepsTheOldListAndTheOldHash) {
  answer("url", 200, R"({"status": "success", "hash": "h1"})", 200, R"({"url": ["a/x"]})");
  answer("exclude_paths", 200, R"({"status": "success"})", 200, R"({"exclude_paths": []})");
  call();
  answer("url", 200, R"({"status": "success", "hash": "h2"})", 500, "");
  auto [url, exclude, out] = call();
  EXPECT_EQ(url, json_loads(R"(["a/x"])"));
  EXPECT_EQ(out["url"], "h1");
  EXPECT_EQ(out["exclude_paths"], nullptr);
  EXPECT_EQ(testing::read_file(dir.file("schemix_url.json")), R"({"url": ["a/x"]})");
  // the next call tries again
  answer("url", 200, R"({"status": "success", "hash": "h2"})", 200, R"({"url": ["c/z"]})");
  EXPECT_EQ(std::get<0>(call()), json_loads(R"(["c/z"])"));
  EXPECT_EQ(hashes["url"], "h2");
}

TEST_F(SettingsTest, HashReplies) {
  struct Case {
    int status;
    const char* body;
    std::optional<Json> hash;
  };
  const Case cases[] = {
      {200, R"({"status": "none", "hash": "x"})", Json("none")},
      {200, R"({"status": "success"})", Json()},
      {200, R"({"status": "success", "hash": ""})", Json("")},
      {200, R"({'status': 'success', 'hash': 'abc'})", Json("abc")},
      {201, R"({"status": "success", "hash": 7})", Json(7)},
      {200, R"({"status": "success", "hash": false})", std::nullopt},
      {204, "", std::nullopt},
      {404, R"({"status": "success", "hash": "x"})", std::nullopt},
      {200, R"([1])", std::nullopt},
      {200, R"({"status": "failed"})", std::nullopt},
  };
  Json hdrs = Json::object();
  for (const auto& c : cases) {
    server.route("POST", "/h", CannedResponse{c.status, c.body});
    EXPECT_EQ(schemix_hash_get(server.url("/h"), "{}", hdrs, testing::api_context("k"), logs.sink()), c.hash) << c.body;
  }
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "error/api: An error occurred while receiving data from " + server.url("/h") +
                          ": b'{\"status\": \"failed\"}'");
}

TEST_F(SettingsTest, UnusableRepliesAndCacheFiles) {
  // a reply without the list's member empties the cache file
  testing::write_file(dir.file("schemix_url.json"), R"({"url": ["old/x"]})");
  answer("url", 200, R"({"status": "success", "hash": "1"})", 200, R"({"exclude_paths": []})");
  // an item that is not an object is skipped, the valid ones are kept
  answer("exclude_paths", 200, R"({"status": "success", "hash": "1"})", 200,
         R"({"exclude_paths": ["bad", {"schema_name": "s", "url": "/ok"}]})");
  auto [url, exclude, out] = call();
  EXPECT_EQ(url, Json::array());
  EXPECT_EQ(exclude, json_loads(R"(["s/ok"])"));
  EXPECT_EQ(testing::read_file(dir.file("schemix_url.json")), "");
  auto lines = logs.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(starts_with(lines[0], "error/api: An error occurred while reading data in JSON format from "))
      << lines[0];
  EXPECT_EQ(lines[1], "error/os: An error occurred while loading data from " + dir.file("schemix_exclude_paths.json") +
                          ": 'str' object has no attribute 'get'");
  // white space only, an array, a missing member
  testing::write_file(dir.file("schemix_url.json"), " \n\t ");
  testing::write_file(dir.file("schemix_exclude_paths.json"), "[1]");
  auto [url2, exclude2, out2] = call();
  EXPECT_EQ(url2, Json::array());
  EXPECT_EQ(exclude2, Json::array());
  lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(starts_with(lines[0], "error/os: An error occurred while loading data from ")) << lines[0];
}

TEST_F(SettingsTest, CacheFileIsReplacedWholeOrKept) {
  answer("url", 200, R"({"status": "success", "hash": "1"})", 200, R"({"url": ["a/b"]})");
  answer("exclude_paths", 200, R"({"status": "none"})", 200, R"({"exclude_paths": []})");
  call();
  // a directory that cannot take a new file: the old content stays
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  answer("url", 200, R"({"status": "success", "hash": "2"})", 200, R"({"url": ["c/d"]})");
  auto [url, exclude, out] = call();
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
  if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  EXPECT_EQ(url, json_loads(R"(["a/b"])"));
  EXPECT_EQ(out["url"], "1");
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(starts_with(lines[0], "error/os: An error occurred while saving data to file ")) << lines[0];
}

TEST_F(SettingsTest, HeadersThatAreNotAMapping) {
  core::ApiContext api = testing::api_context("k");
  api.headers = nullptr;
  auto [url, exclude, out] = schemix_settings_get(hashes, server.url("/get_schemix_"), dir.str(), api, logs.sink());
  EXPECT_EQ(url, Json::array());
  EXPECT_TRUE(server.requests().empty());
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(starts_with(lines[0], "error/schemix: An error occurred in schemix_settings_get: ")) << lines[0];
}

}  // namespace
}  // namespace tessel::schemix
