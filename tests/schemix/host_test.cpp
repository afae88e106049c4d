// The schema-generation host and the schema worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "schemix/oam.h"
#include "schemix/worker.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/pyjson.h"
#include "support/api_context.h"
#include "support/http_server.h"
#include "support/log_capture.h"

namespace tessel::schemix {
namespace {

using testing::CannedResponse;
using testing::LoopbackHttpServer;

RequestRecord row(const std::string& vhost, const std::string& url = "/p", const std::string& body = R"({"a":1})",
                  const std::string& schema_name = "", const std::string& method = "POST") {
  RequestRecord r;
  r.vhost = vhost;
  r.url = url;
  r.method = method;
  r.body = body;
  r.extras["schema_name"] = schema_name;
  return r;
}

std::string name_of(const SchemaRecord& r) { return r.schema_name; }

std::shared_ptr<SharedNamespace> namespace_with(const Json& vhosts) {
  auto nsi = std::make_shared<SharedNamespace>();
  nsi->set("schemix_vhosts_list", vhosts);
  nsi->set("schemix_url", Json::array());
  nsi->set("schemix_exclude_paths", Json::array());
  nsi->set("schemix_schemas_list", Json::array());
  return nsi;
}

TEST(HostPattern, Table) {
  const char* hosts[] = {"h.io", "a.h.io", "a.h.io.x", "other", "xh.io"};
  struct Case {
    const char* pattern;
    std::vector<bool> matches;
  };
  const Case cases[] = {
      {"h.io", {true, false, false, false, false}},  {".h.io", {true, true, true, false, false}},
      {"*.h.io", {false, true, true, false, false}}, {"*", {true, true, true, true, true}},
      {"h", {false, false, false, false, false}},
  };
  for (const auto& c : cases)
    for (std::size_t i = 0; i < 5; ++i)
      EXPECT_EQ(vhost_pattern_match(c.pattern, hosts[i]), c.matches[i]) << c.pattern << " " << hosts[i];
  EXPECT_THROW(vhost_pattern_match(".h.io", Json(5)), std::exception);
  EXPECT_TRUE(vhost_pattern_match("*", Json(5)));
}

// A host with a clock the test moves and workers it records.
struct HostFixture {
  std::int64_t clock = 1000;
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::vector<SchemaRecord>> runs;
  bool hold = false;  // workers wait while set
  testing::LogCapture logs;
  std::unique_ptr<OAM> host;

  explicit HostFixture(bool debug = false) {
    core::DetectorContext ctx;
    ctx.sink = logs.sink(debug);
    OAM::Hooks hooks;
    hooks.clock = [this] { return clock; };
    hooks.seed = 7;
    hooks.worker = [this](const std::shared_ptr<SharedNamespace>&, std::vector<SchemaRecord> t) {
      std::unique_lock lk(mu);
      runs.push_back(std::move(t));
      cv.notify_all();
      cv.wait(lk, [this] { return !hold; });
    };
    host = std::make_unique<OAM>(180, ctx, hooks);
  }
  ~HostFixture() {
    release();
    for (int i = 0; i < 200 && host->workers() > 0; ++i) {
      clock += 31;
      host->dfs_processing(namespace_with(Json::array({"*"})), {});
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void release() {
    std::lock_guard lk(mu);
    hold = false;
    cv.notify_all();
  }
  std::size_t wait_runs(std::size_t n) {
    std::unique_lock lk(mu);
    cv.wait_for(lk, std::chrono::seconds(10), [&] { return runs.size() >= n; });
    return runs.size();
  }
};

TEST(SchemaHost, LabelsKeepsAndDropsRows) {
  HostFixture f;
  auto nsi = namespace_with(Json::array({"*", "h.io"}));
  f.host->dfs_processing(nsi, {row("h.io"), row("a.io")});
  ASSERT_EQ(f.host->gathered().size(), 2u);
  for (const auto& r : f.host->gathered()) EXPECT_EQ(name_of(r), "*");

  HostFixture g;
  auto nsi2 = namespace_with(Json::array({"*.h.io", "h.io"}));
  // a preset label stays unless another row of its host is labelled
  g.host->dfs_processing(nsi2, {row("a.h.io"), row("h.io"), row("zz", "/p", "{}", "kept"), row("other"),
                                row("a.h.io", "/q", "{}", "old")});
  std::vector<std::string> names;
  for (const auto& r : g.host->gathered()) names.push_back(name_of(r) + "@" + r.vhost.get<std::string>());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"*.h.io@a.h.io", "*.h.io@a.h.io", "h.io@h.io", "kept@zz"}));
  EXPECT_TRUE(g.logs.take().empty());
}

TEST(SchemaHost, EmptyPatternListDropsEverything) {
  HostFixture f;
  f.host->dfs_processing(namespace_with(Json::array({"*"})), {row("h")});
  EXPECT_EQ(f.host->gathered().size(), 1u);
  f.clock += 1000;
  f.host->dfs_processing(namespace_with(Json::array()), {row("h")});
  EXPECT_TRUE(f.host->gathered().empty());
  EXPECT_EQ(f.wait_runs(0), 0u);
  EXPECT_TRUE(f.logs.take().empty());
}

TEST(SchemaHost, OneWorkerPerIntervalOnEverythingGathered) {
  HostFixture f(true);
  auto nsi = namespace_with(Json::array({"h"}));
  f.host->dfs_processing(nsi, {row("h"), row("x")});
  f.clock += 90;
  f.host->dfs_processing(nsi, {row("h", "/q")});
  f.clock += 90;  // exactly the interval: nothing starts
  f.host->dfs_processing(nsi, {});
  EXPECT_EQ(f.host->gathered().size(), 2u);
  f.clock += 1;
  f.host->dfs_processing(nsi, {});
  ASSERT_EQ(f.wait_runs(1), 1u);
  EXPECT_EQ(f.runs[0].size(), 2u);
  EXPECT_TRUE(f.host->gathered().empty());
  const auto lines = f.logs.take();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "debug/schemix: Schemix SG: received 2 request(s)");
  EXPECT_EQ(lines[1], "debug/schemix: Schemix SG: received 1 request(s)");
  EXPECT_EQ(lines[2], "debug/schemix: Schemix SG: processing 2 request(s)");
  EXPECT_TRUE(lines[3].rfind("debug/os: schemix_schemas_processing is running (PID: ", 0) == 0) << lines[3];
  // an interval that ends with nothing gathered starts nothing
  f.clock += 181;
  f.host->dfs_processing(nsi, {});
  for (const auto& l : f.logs.take()) EXPECT_EQ(l.find("processing"), std::string::npos) << l;
  EXPECT_TRUE(f.host->gathered().empty());
}

TEST(SchemaHost, SlowAndManyWorkersAreReported) {
  HostFixture f;
  f.hold = true;
  auto nsi = namespace_with(Json::array({"*"}));
  for (int i = 0; i < 5; ++i) {
    f.host->dfs_processing(nsi, {row("h")});
    f.clock += 181;
    f.host->dfs_processing(nsi, {});
  }
  ASSERT_EQ(f.wait_runs(5), 5u);
  EXPECT_EQ(f.host->workers(), 5u);
  f.logs.take();
  f.clock += 31;
  f.host->dfs_processing(nsi, {});
  const auto lines = f.logs.take();
  // ages 755, 574, 393, 212 and 31 seconds, then the count
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(lines[0].rfind("warn/os: Schemix SG: process ", 0) == 0) << lines[0];
  EXPECT_TRUE(lines[0].find("takes more than 755 sec.") != std::string::npos) << lines[0];
  EXPECT_TRUE(lines[3].find("takes more than 212 sec.") != std::string::npos) << lines[3];
  EXPECT_EQ(lines[4], "warn/os: Schemix SG: 5 active processes");
  f.release();
}

TEST(SchemaHost, AWorkerThatFailsToStartIsNotKept) {
  HostFixture f;
  int refused = 1;
  f.host = nullptr;
  OAM::Hooks hooks;
  hooks.clock = [&f] { return f.clock; };
  hooks.worker = [&f](const std::shared_ptr<SharedNamespace>&, std::vector<SchemaRecord> t) {
    std::lock_guard lk(f.mu);
    f.runs.push_back(std::move(t));
    f.cv.notify_all();
  };
  hooks.start = [&refused](std::string name, std::function<void()> body) {
    if (refused-- > 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return Child::start(std::move(name), std::move(body));
  };
  core::DetectorContext ctx;
  ctx.sink = f.logs.sink();
  f.host = std::make_unique<OAM>(180, ctx, hooks);
  auto nsi = namespace_with(Json::array({"h"}));
  f.host->dfs_processing(nsi, {row("h"), row("h", "/q")});
  f.clock += 181;
  f.host->dfs_processing(nsi, {});
  // no worker is counted; the rows wait for the next interval
  EXPECT_EQ(f.host->workers(), 0u);
  EXPECT_EQ(f.host->gathered().size(), 2u);
  const auto lines = f.logs.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].rfind("error/schemix: An error occurred in schemix_preprocessing: ", 0) == 0) << lines[0];

  f.clock += 181;
  f.host->dfs_processing(nsi, {row("h", "/r")});
  ASSERT_EQ(f.wait_runs(1), 1u);
  EXPECT_EQ(f.runs[0].size(), 3u);
  EXPECT_EQ(f.host->workers(), 1u);
  // housekeeping joins the one worker and has nothing else to report
  for (int i = 0; i < 200 && f.host->workers() > 0; ++i) {
    f.clock += 31;
    f.host->dfs_processing(nsi, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(f.host->workers(), 0u);
  EXPECT_TRUE(f.logs.take().empty());
}

TEST(SchemaWorker, ExclusionsThenUploadOfNewSchemas) {
  LoopbackHttpServer server;
  server.route("POST", "/set", CannedResponse{200, R"({"status": "success"})"});
  auto nsi = namespace_with(Json::array({"h.io"}));
  nsi->set("schemix_exclude_paths", json_loads(R"(["h.io/skip", "h.io/skip", "", null, "noslash", {"a": 1}])"));
  nsi->set("schemix_url", json_loads(R"(["h.io/", "h.io/a/b"])"));
  testing::LogCapture logs;
  RequestTable t = {row("h.io", "/skip", R"({"s":1})", "h.io"), row("h.io", "/", R"({"r":1})", "h.io"),
                    row("h.io", "/a/b", R"({"ab":1})", "h.io"), row("h.io", "/Skip", R"({"k":1})", "h.io"),
                    row("h.io", "/users/12", R"({"id":1})", "h.io")};
  schemix_schemas_processing(nsi, t, server.url("/set"), testing::api_context("k"), logs.sink(true));
  const auto reqs = server.requests_to("/set");
  std::vector<std::string> urls;
  for (const auto& r : reqs) urls.push_back(json_loads(r.body)["set"]["url"].get<std::string>());
  std::sort(urls.begin(), urls.end());
  EXPECT_EQ(urls, (std::vector<std::string>{"/Skip", "/users/{integer}"}));
  const auto lines = logs.take();
  EXPECT_EQ(lines[0],
            "error/schemix: An error occurred while processing Schemix exclude paths (noslash): not enough "
            "values to unpack (expected 2, got 1)");
  EXPECT_TRUE(
      lines[1].rfind("error/schemix: An error occurred while processing Schemix exclude paths ({'a': 1}): ", 0) == 0)
      << lines[1];
  EXPECT_EQ(lines[2], "debug/schemix: Processing 2 request(s) by Schemix Schema Analyzer");
  // the same table again: nothing new to send
  schemix_schemas_processing(nsi, t, server.url("/set"), testing::api_context("k"), logs.sink());
  EXPECT_EQ(server.requests_to("/set").size(), 2u);
}

TEST(SchemaWorker, AFailedUploadIsOfferedAgainNextRun) {
  LoopbackHttpServer server;
  server.route("POST", "/set", CannedResponse{500, ""});
  auto nsi = namespace_with(Json::array({"h"}));
  testing::LogCapture logs;
  const RequestTable t = {row("h", "/p", R"({"a":1})", "h")};
  schemix_schemas_processing(nsi, t, server.url("/set"), testing::api_context("k"), logs.sink());
  EXPECT_EQ(server.requests_to("/set").size(), 1u);
  EXPECT_TRUE(nsi->get<Json>("schemix_schemas_list").empty());
  server.route("POST", "/set", CannedResponse{200, R"({"status": "success"})"});
  schemix_schemas_processing(nsi, t, server.url("/set"), testing::api_context("k"), logs.sink());
  EXPECT_EQ(server.requests_to("/set").size(), 2u);
  EXPECT_EQ(nsi->get<Json>("schemix_schemas_list").size(), 1u);
}

TEST(SchemaWorker, ConcurrentRunsUploadAFragmentOnce) {
  LoopbackHttpServer server;
  server.route("POST", "/set", CannedResponse{200, R"({"status": "success"})"});
  auto nsi = namespace_with(Json::array({"h"}));
  testing::LogCapture logs;
  const RequestTable t = {row("h", "/p", R"({"a":1})", "h")};
  std::vector<std::thread> runs;
  for (int i = 0; i < 4; ++i)
    runs.emplace_back(
        [&] { schemix_schemas_processing(nsi, t, server.url("/set"), testing::api_context("k"), logs.sink()); });
  for (auto& r : runs) r.join();
  EXPECT_EQ(server.requests_to("/set").size(), 1u);
}

TEST(SchemaWorker, EmptyTableDoesNothing) {
  auto nsi = namespace_with(Json::array({"h"}));
  nsi->set("schemix_url", json_loads(R"(["h/p"])"));
  testing::LogCapture logs;
  schemix_schemas_processing(nsi, {row("h", "/p", "{}", "h")}, "http://127.0.0.1:1/set", testing::api_context("k"),
                             logs.sink(true));
  EXPECT_TRUE(logs.take().empty());
}

}  // namespace
}  // namespace tessel::schemix
