// The remote dataset store calls: wire bodies and reply handling.
#include "core/net/mls.h"

#include <gtest/gtest.h>

#include "support/http_server.h"
#include "support/log_capture.h"

using namespace tessel;
using tessel::testing::CannedResponse;
using tessel::testing::LogCapture;
using tessel::testing::LoopbackHttpServer;

namespace {
core::ApiContext api() {
  core::ApiContext a;
  a.key = "k";
  return a;
}
}  // namespace

TEST(MlsData, UploadAndDeleteBodies) {
  LoopbackHttpServer srv;
  LogCapture logs;
  srv.route("POST", "/set", CannedResponse{200, R"({"status": "success"})"});
  srv.route("POST", "/del", CannedResponse{200, R"({"status": "success"})"});
  const Json data = {{"url", {"/a", ""}}, {"args", Json::array()}};
  EXPECT_TRUE(core::mls_data_set("ml", srv.url("/set"), data, "a.com", api(), logs.sink()));
  EXPECT_TRUE(core::mls_data_del("ml", srv.url("/del"), "a.com", {"r1", "r2", "r1", "r2"}, api(), logs.sink()));
  const auto set = srv.requests_to("/set");
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(Json::parse(set[0].body), (Json{{"key", "k"}, {"type", "ml"}, {"vhost", "a.com"}, {"data", data}}));
  EXPECT_EQ(set[0].header("Content-Type"), "application/json");
  EXPECT_EQ(Json::parse(srv.requests_to("/del")[0].body)["ids"], (Json{"r1", "r2"}));
  EXPECT_TRUE(logs.take().empty());
}

TEST(MlsData, FailuresAreFalseOrEmpty) {
  struct Case {
    const char* name;
    CannedResponse reply;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"server error", {500, "x"}, false},
      {"fail", {200, R"({"status": "fail", "description": "no"})"}, false},
      {"none", {200, R"({"status": "none"})"}, false},
      {"not JSON", {200, "<html>"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackHttpServer srv;
    LogCapture logs;
    srv.route("POST", "/set", c.reply);
    EXPECT_EQ(core::mls_data_set("ml", srv.url("/set"), Json::object(), "a.com", api(), logs.sink()), c.ok);
    EXPECT_EQ(core::mls_data_get("ml", srv.url("/set"), "a.com", api(), logs.sink()), Json::object());
  }
  LogCapture logs;
  EXPECT_FALSE(core::mls_data_set("ml", "http://127.0.0.1:9/set", Json::object(), "a.com", api(), logs.sink()));
  const auto lines = logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("error/network: ", 0), 0u);
}

TEST(MlsData, FetchedRecords) {
  struct Case {
    const char* name;
    std::string body;
    Json records;
    bool logged;
  };
  const std::vector<Case> cases = {
      {"records, values as text", R"({"status": "success", "data": {"r1": {"url": ["/a", 5]}, "r2": {}}})",
       Json{{"r1", {{"url", {"/a", "5"}}}}, {"r2", Json::object()}}, false},
      {"no data", R"({"status": "success"})", Json::object(), true},
      {"a record that is no mapping", R"({"status": "success", "data": {"r1": [1]}})", Json::object(), true},
      {"values that are no list", R"({"status": "success", "data": {"r1": {"url": "/a"}}})", Json::object(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackHttpServer srv;
    LogCapture logs;
    srv.route("POST", "/get", CannedResponse{200, c.body});
    EXPECT_EQ(core::mls_data_get("ml", srv.url("/get"), "a.com", api(), logs.sink()), c.records);
    EXPECT_EQ(!logs.take().empty(), c.logged);
    EXPECT_EQ(Json::parse(srv.requests_to("/get")[0].body), (Json{{"key", "k"}, {"type", "ml"}, {"vhost", "a.com"}}));
  }
}
