// The training state of a host at the management API.
#include "orvik/training/training_state.h"

#include <gtest/gtest.h>

#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/tls_server.h"

using namespace tessel;
using tessel::testing::CannedResponse;
using tessel::testing::LogCapture;
using tessel::testing::LoopbackHttpServer;

namespace {
core::ApiContext api(const std::string& key, const Json& headers) {
  core::ApiContext a;
  a.key = key;
  a.headers = headers;
  return a;
}
}  // namespace

TEST(TrainingState, Replies) {
  struct Case {
    const char* name;
    CannedResponse reply;
    std::optional<bool> complete;
    Json days;
    std::string log;  // "" none; "{url}" stands for the address
  };
  const std::string receiving = "error/api: An error occurred while receiving data from {url}: ";
  auto ok = [](const std::string& body) { return CannedResponse{200, body}; };
  const std::vector<Case> cases = {
      {"state of the host", ok(R"({"status": "success", "training": [{"vhost": "b.com", "complete": true,
         "duration": 9}, {"vhost": "a.com", "complete": false, "duration": 7}]})"),
       false, 7, ""},
      {"the first entry of the host decides", ok(R"({"status": "success", "training": [{"vhost": "a.com",
         "complete": 1, "duration": 2.5}, {"vhost": "a.com", "complete": false, "duration": 7}]})"),
       true, 2.5, ""},
      {"a duration as received", ok(R"({"status": "success", "training": [{"vhost": "a.com", "complete": "false",
         "duration": "7"}]})"),
       true, "7", ""},
      {"complete by truth", ok(R"({"status": "success", "training": [{"vhost": "a.com", "complete": null,
         "duration": 4}]})"),
       false, 4, ""},
      {"no state", ok(R"({"status": "none"})"), std::nullopt, 4, ""},
      {"no entry for the host", ok(R"({"status": "success", "training": [{"vhost": "b.com", "complete": true,
         "duration": 9}]})"),
       std::nullopt, 4, ""},
      {"another status", ok(R"({"status": "fail", "description": "no"})"), std::nullopt, 4,
       "error/api: An error occurred while processing data from {url}: {'status': 'fail', 'description': 'no'}"},
      {"entry without a duration", ok(R"({"status": "success", "training": [{"vhost": "a.com", "complete": true}]})"),
       true, 4, receiving + "*"},
      {"not JSON", CannedResponse{204, ""}, std::nullopt, 4, receiving + "*"},
      {"a list", ok("[1]"), std::nullopt, 4, receiving + "'list' object has no attribute 'get'"},
      {"server error", CannedResponse{500, "x"}, std::nullopt, 4, receiving + "<Response [500]>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackHttpServer srv;
    srv.route("POST", "/v2/get_training_uri", c.reply);
    LogCapture lc;
    const std::string url = srv.url("/v2/get_training_uri");
    const auto [complete, days] =
        orvik::get_training_status(url, "a.com", 4, api("k1", Json{{"User-Agent", "ua"}}), lc.sink());
    EXPECT_EQ(complete, c.complete);
    EXPECT_EQ(days, c.days);
    const auto log = lc.take();
    if (c.log.empty()) {
      EXPECT_TRUE(log.empty()) << log[0];
    } else {
      ASSERT_EQ(log.size(), 1u);
      std::string want = c.log;
      want.replace(want.find("{url}"), 5, url);
      if (want.back() == '*') {
        EXPECT_EQ(log[0].rfind(want.substr(0, want.size() - 1), 0), 0u) << log[0];
      } else {
        EXPECT_EQ(log[0], want);
      }
    }
    const auto reqs = srv.requests_to("/v2/get_training_uri");
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].body, "key=k1&vhost=a.com");
    EXPECT_EQ(reqs[0].header("User-Agent"), "ua");
  }
}

TEST(TrainingState, UnreachableServerIsANetworkError) {
  std::string url;
  {
    LoopbackHttpServer gone;  // closed again: nothing listens on its port
    url = gone.url("/v2/get_training_uri");
  }
  LogCapture lc;
  const auto [complete, days] = orvik::get_training_status(url, "a.com", 4, api("k1", Json::object()), lc.sink());
  EXPECT_FALSE(complete);
  EXPECT_EQ(days, 4);
  const auto log = lc.take();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("error/network: An error occurred while receiving data from " + url + ": ConnectionError", 0),
            0u)
      << log[0];
}

TEST(TrainingState, StatusReport) {
  struct Case {
    const char* name;
    CannedResponse reply;
    bool result;
    std::vector<std::string> log;
  };
  auto ok = [](const std::string& body) { return CannedResponse{200, body}; };
  const std::string updating = "error/api: An error occurred while updating training status for virtual host a.com: ";
  const std::vector<Case> cases = {
      {"success",
       ok(R"({"status": "success"})"),
       true,
       {"info/api: Training status for virtual host a.com has been updated successfully"}},
      {"refused", ok(R"({"status": "fail", "description": "no such host"})"), false, {updating + "no such host"}},
      {"refused without a reason",
       ok(R"({"status": "fail"})"),
       false,
       {"error/api: An error occurred while retrieving field \"description\" from {'status': 'fail'} for virtual host "
        "a.com: 'description'",
        updating + "{'status': 'fail'}"}},
      {"empty object", ok("{}"), false, {updating + "{}"}},
      {"no state", ok(R"({"status": "none"})"), false, {updating + "{'status': 'none'}"}},
      {"server error",
       CannedResponse{500, ""},
       false,
       {"error/api: An error occurred while sending training status: <Response [500]>"}},
      {"not JSON", ok("x"), false, {"*"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackHttpServer srv;
    srv.route("POST", "/v2/set_training_uri", c.reply);
    LogCapture lc;
    const Json headers = Json{{"User-Agent", "ua"}};
    const core::ApiContext a = api("k1", headers);
    EXPECT_EQ(orvik::set_training_status(srv.url("/v2/set_training_uri"), "a.com", true, a, lc.sink()), c.result);
    EXPECT_EQ(a.headers, headers);
    const auto log = lc.take();
    ASSERT_EQ(log.size(), c.log.size());
    for (std::size_t i = 0; i < log.size(); ++i)
      if (c.log[i] != "*") {
        EXPECT_EQ(log[i], c.log[i]);
      }
    const auto reqs = srv.requests_to("/v2/set_training_uri");
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].body, R"({"key": "k1", "vhost": "a.com", "complete": true})");
    EXPECT_EQ(reqs[0].header("Content-Type"), "application/json");
  }
}

TEST(TrainingState, ProgressReport) {
  struct Case {
    const char* name;
    CannedResponse reply;
    bool debug;
    std::vector<std::string> log;  // "*": any text
  };
  auto ok = [](const std::string& body) { return CannedResponse{200, body}; };
  const std::string updating = "error/api: An error occurred while updating training progress for virtual host a.com: ";
  const std::string sending = "error/api: An error occurred while sending training progress: ";
  const std::vector<Case> cases = {
      {"success", ok(R"({"status": "success"})"), false, {}},
      {"success in debug",
       ok(R"({'status': 'success'})"),
       true,
       {"debug/api: Sending training progress of a.com: <Response [200]>"}},
      {"refused", ok(R"({"status": "fail", "description": "bad host"})"), false, {updating + "bad host"}},
      {"refused quietly", ok(R"({"status": "fail", "description": "cannot set virtual host x"})"), false, {}},
      {"refused without a reason",
       ok(R"({"status": "fail"})"),
       false,
       {"error/api: An error occurred while retrieving field \"description\" from {'status': 'fail'} for virtual host "
        "a.com: 'description'"}},
      {"JSON literals", ok(R"({"status": true})"), false, {"*"}},
      {"other status", ok(R"({"status": "none"})"), false, {updating + "{'status': 'none'}"}},
      {"server error", CannedResponse{500, ""}, false, {sending + "<Response [500]>"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackHttpServer srv;
    srv.route("POST", "/set_training_progress_uri", c.reply);
    LogCapture lc;
    orvik::set_training_progress_status(srv.url("/set_training_progress_uri"), "a.com", 42, api("k1", Json::object()),
                                        lc.sink(c.debug));
    const auto log = lc.take();
    ASSERT_EQ(log.size(), c.log.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
      if (c.log[i] == "*") {
        EXPECT_TRUE(log[i].starts_with(sending)) << log[i];
      } else {
        EXPECT_EQ(log[i], c.log[i]);
      }
    }
    const auto reqs = srv.requests_to("/set_training_progress_uri");
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].body, "key=k1&vhost=a.com&progress=42");
  }
}

// Every call of a host's training state trusts the configured certificate
// bundle: a management API whose certificate a private authority issued.
TEST(TrainingState, HttpsWithAPrivateAuthority) {
  tessel::testing::TempDir dir;
  const std::string ca = dir.file("ca.pem");
  tessel::testing::LoopbackTlsServer srv(
      {{"/v2/get_training_uri",
        R"({"status": "success", "training": [{"vhost": "a.com", "complete": true, "duration": 9}]})"},
       {"/v2/set_training_uri", R"({"status": "success"})"},
       {"/set_training_progress_uri", R"({"status": "success"})"}},
      ca);
  for (const bool trusted : {false, true}) {
    SCOPED_TRACE(trusted ? "with the bundle" : "without the bundle");
    core::ApiContext a = api("k1", Json::object());
    if (trusted) a.ca_bundle = ca;
    LogCapture lc;
    const auto [complete, days] = orvik::get_training_status(srv.url("/v2/get_training_uri"), "a.com", 4, a, lc.sink());
    EXPECT_EQ(orvik::set_training_status(srv.url("/v2/set_training_uri"), "a.com", true, a, lc.sink()), trusted);
    orvik::set_training_progress_status(srv.url("/set_training_progress_uri"), "a.com", 42, a, lc.sink());
    const auto log = lc.take();
    if (trusted) {
      EXPECT_EQ(complete, std::optional<bool>(true));
      EXPECT_EQ(days, 9);
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0], "info/api: Training status for virtual host a.com has been updated successfully");
    } else {
      EXPECT_EQ(complete, std::nullopt);
      EXPECT_EQ(days, 4);
      ASSERT_EQ(log.size(), 3u);
      for (const auto& line : log) EXPECT_NE(line.find("SSLError"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(srv.hits("/v2/get_training_uri"), 1);
  EXPECT_EQ(srv.hits("/v2/set_training_uri"), 1);
  EXPECT_EQ(srv.hits("/set_training_progress_uri"), 1);
}
