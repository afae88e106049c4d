// The dataset update on real staging and dataset files.
#include "orvik/dataset/db_processing.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "core/data/columns.h"
#include "dataset_support.h"
#include "orvik/dataset/dataset_file.h"
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::orvik;
using tessel::testing::CannedResponse;
using tessel::testing::InstantPauses;
using tessel::testing::locks_for;
using tessel::testing::LogCapture;
using tessel::testing::LoopbackHttpServer;
using tessel::testing::OpenFaults;
using tessel::testing::RecordedRequest;
using tessel::testing::row;
using tessel::testing::TempDir;
namespace fs = std::filesystem;

namespace {

struct Update {
  TempDir dir;
  LogCapture logs;
  LockMap locks = locks_for("a.com");
  std::shared_ptr<LocalNsg> nsg = std::make_shared<LocalNsg>();
  std::string db = dir.file("a.com_1700000000.db");
  std::string d = dir.file("a.com.d");
  LoopbackHttpServer srv;
  core::ApiContext api;
  bool mls = false;
  bool distributed = false;
  std::int64_t limit = 100;
  std::int64_t pcnt = 40;

  Update() { api.key = "k"; }
  void stage(const RequestTable& rows) { put_data_into_db(rows, locks, "a.com", db, logs.sink()); }
  DbProcessingArgs args() {
    DbProcessingArgs a;
    a.nsg = nsg;
    a.sharing = dataset_sharing(mls, distributed);
    a.set_mls_data_url = srv.url("/v1/set_mls_data");
    a.get_mls_data_url = srv.url("/v1/get_mls_data");
    a.del_mls_data_url = srv.url("/v1/del_mls_data");
    a.db_processing_lock = locks;
    a.ml_vhost = "a.com";
    a.dataset_limit = limit;
    a.db_fname = db;
    a.d_fname = d;
    a.training_pcnt = pcnt;
    a.api = api;
    a.sink = logs.sink();
    return a;
  }
  bool run() { return db_processing(args()); }
  std::int64_t staged() { return get_cnt_from_db(db, logs.sink()); }
};

bool has_line(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(part) != std::string::npos; });
}

// A small tmpfs over a directory for the life of the value; not mounted
// when the process may not mount.
class SmallFs {
 public:
  SmallFs(const std::string& dir, const char* size) : dir_(dir) {
    fs::create_directories(dir);
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallFs() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Fills the file system but for about `spare` bytes.
  void fill(const std::string& filler, std::size_t spare) {
    {
      std::ofstream out(filler, std::ios::binary);
      const std::string block(4096, 'f');
      while (out.write(block.data(), block.size()) && out.flush()) {
      }
    }
    const auto size = fs::file_size(filler);
    fs::resize_file(filler, size > spare ? size - spare : 0);
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

DatasetData with_zones(std::map<std::string, std::vector<std::string>> some) {
  DatasetData out;
  for (const auto& z : core::zones()) out[z] = some.count(z) ? some[z] : std::vector<std::string>{};
  return out;
}

}  // namespace

TEST(DbProcessing, MergesStagedStoredValuesAndEmptiesTheTable) {
  Update u;
  dataset_save({{"url", {"/old", ""}}, {"gone", {"x"}}}, u.d);
  u.stage({row("/a", "p=1"), row(""), row("/a")});
  u.logs.take();
  u.run();
  EXPECT_EQ(dataset_load(u.d), with_zones({{"url", {"/a", "/a", "/old"}}, {"args", {"p=1"}}}));
  EXPECT_FALSE(fs::exists(u.d + ".bak"));
  EXPECT_EQ(u.staged(), 0);
  const auto lines = u.logs.take();
  EXPECT_EQ(lines.front(), "info/ml: Updating collected data for virtual host a.com");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "info/ml: Number of values in zone URL: 3"), lines.end());
  EXPECT_TRUE(u.srv.requests().empty());
}

TEST(DbProcessing, LimitDeDuplicatesOnlyOverIt) {
  struct Case {
    std::int64_t limit;
    std::vector<std::string> stored;
    std::vector<std::string> expect;
  };
  const std::vector<Case> cases = {
      {10, {"b", "", "b"}, {"a", "b", "b"}},  // at or under the limit: as merged
      {2, {"b", "c", "b"}, {"b", "c"}},       // distinct a, b, c: the last two
      {3, {"b", "a", "b"}, {"a", "b"}},       // distinct values fit
  };
  for (const auto& c : cases) {
    Update u;
    u.limit = c.limit;
    dataset_save({{"url", c.stored}}, u.d);
    u.stage({row("a")});
    u.run();
    EXPECT_EQ(dataset_load(u.d).at("url"), c.expect);
  }
}

TEST(DbProcessing, NoTableNoFile) {
  Update u;
  u.run();
  EXPECT_FALSE(fs::exists(u.d));
  EXPECT_TRUE(u.logs.take().empty());
}

TEST(DbProcessing, PendingRestartLeavesEverything) {
  Update u;
  InstantPauses pauses;
  u.stage({row("/a")});
  u.nsg->set_restart_signal(true);
  u.run();
  EXPECT_EQ(pauses.count, 1);
  EXPECT_EQ(pauses.last, std::chrono::milliseconds(120000));
  EXPECT_FALSE(fs::exists(u.d));
  EXPECT_EQ(u.staged(), 1);
}

TEST(DbProcessing, RowsStagedDuringTheUpdateSurvive) {
  Update u;
  u.mls = true;
  u.stage({row("/a")});
  // The remote fetch runs between the read and the emptying.
  u.srv.route("POST", "/v1/get_mls_data", [&](const RecordedRequest&) {
    u.stage({row("/late1"), row("/late2")});
    return CannedResponse{200, R"({"status": "none"})"};
  });
  u.run();
  EXPECT_EQ(dataset_load(u.d).at("url"), std::vector<std::string>{"/a"});
  EXPECT_EQ(u.staged(), 2);
}

TEST(DbProcessing, MasterMergesRemoteRecordsThenDeletesThem) {
  Update u;
  u.mls = true;
  u.distributed = true;
  u.stage({row("/a")});
  u.srv.route(
      "POST", "/v1/get_mls_data",
      CannedResponse{200,
                     R"({"status": "success", "data": {"r1": {"url": ["/r1"]}, "r2": {"args": ["q=2"], "url": []}}})"});
  u.srv.route("POST", "/v1/del_mls_data", CannedResponse{200, R"({"status": "success"})"});
  u.run();
  EXPECT_EQ(dataset_load(u.d), with_zones({{"url", {"/a", "/r1"}}, {"args", {"q=2"}}}));
  const auto del = u.srv.requests_to("/v1/del_mls_data");
  ASSERT_EQ(del.size(), 1u);
  EXPECT_EQ(Json::parse(del[0].body), (Json{{"key", "k"}, {"type", "ml"}, {"vhost", "a.com"}, {"ids", {"r1", "r2"}}}));
  EXPECT_EQ(u.staged(), 0);
}

TEST(DbProcessing, UploadEmptiesTheTableOnlyWhenTheStoreTookTheRows) {
  Update u;
  u.distributed = true;
  u.stage({row("/a", ""), row("/b", "x=1")});
  u.srv.route("POST", "/v1/set_mls_data", CannedResponse{500, "no"});
  u.run();
  EXPECT_EQ(u.staged(), 2);
  EXPECT_FALSE(fs::exists(u.d));

  u.srv.route("POST", "/v1/set_mls_data", CannedResponse{200, R"({"status": "success"})"});
  u.run();
  EXPECT_EQ(u.staged(), 0);
  EXPECT_FALSE(fs::exists(u.d));
  const auto sent = u.srv.requests_to("/v1/set_mls_data");
  ASSERT_EQ(sent.size(), 2u);
  const Json body = Json::parse(sent[1].body);
  EXPECT_EQ(body["vhost"], "a.com");
  EXPECT_EQ(body["data"]["url"], (Json{"/a", "/b"}));
  EXPECT_EQ(body["data"]["args"], (Json{"", "x=1"}));  // empty values travel as staged
  EXPECT_EQ(body["data"].size(), core::zones().size());
}

TEST(DbProcessing, DamagedDatasetFileIsMovedAsideAndTheRowsKept) {
  Update u;
  tessel::testing::write_file(u.d, "not a dataset");
  u.stage({row("/a")});
  u.run();
  EXPECT_EQ(tessel::testing::read_file(u.d + ".corrupt"), "not a dataset");
  EXPECT_FALSE(fs::exists(u.d));
  EXPECT_EQ(u.staged(), 1);
  u.run();  // the next update starts a new file with the rows
  EXPECT_EQ(dataset_load(u.d).at("url"), std::vector<std::string>{"/a"});
  EXPECT_EQ(u.staged(), 0);
}

TEST(DbProcessing, OnlyTheNewestDamagedCopiesAreKept) {
  Update u;
  for (int i = 0; i < 5; ++i) {
    tessel::testing::write_file(u.d, "damaged " + std::to_string(i));
    u.stage({row("/a")});
    EXPECT_FALSE(u.run());
  }
  std::map<std::string, std::string> copies;
  for (const auto& e : fs::directory_iterator(u.dir.path()))
    if (e.path().string().starts_with(u.d + ".corrupt"))
      copies[e.path().string()] = tessel::testing::read_file(e.path());
  EXPECT_EQ(copies, (std::map<std::string, std::string>{{u.d + ".corrupt.2", "damaged 2"},
                                                        {u.d + ".corrupt.3", "damaged 3"},
                                                        {u.d + ".corrupt.4", "damaged 4"}}));
  EXPECT_TRUE(u.run());
  EXPECT_EQ(dataset_load(u.d).at("url").size(), 5u);
}

TEST(DbProcessing, DamagedStagingFile) {
  for (const std::int64_t pcnt : {40, 100}) {
    Update u;
    u.pcnt = pcnt;
    tessel::testing::write_file(u.db, std::string(2048, 'z'));
    u.run();
    EXPECT_EQ(tessel::testing::read_file(u.db + ".corrupt"), std::string(2048, 'z'));
    EXPECT_EQ(fs::exists(u.db), pcnt < 100);
    const auto lines = u.logs.take();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "error/os: An error occurred while receiving data from file " + u.db + ": file is not a database");
    EXPECT_EQ(lines[1], "error/os: File " + u.db + " moved to " + u.db + ".corrupt");
  }
}

TEST(DbProcessing, FailedOpenKeepsThePreviousFileAndTheRows) {
  struct Case {
    const char* name;
    bool write;
    int err;
  };
  for (const Case c : {Case{"load", false, EMFILE}, Case{"save", true, EMFILE}, Case{"save", true, ENOSPC}}) {
    SCOPED_TRACE(c.name);
    Update u;
    dataset_save({{"url", {"/old"}}}, u.d);
    const std::string before = tessel::testing::read_file(u.d);
    u.stage({row("/a")});
    u.logs.take();
    {
      OpenFaults faults(c.write, c.err, 1);
      EXPECT_FALSE(u.run());
      EXPECT_EQ(faults.injected, 1);
    }
    EXPECT_EQ(tessel::testing::read_file(u.d), before);
    EXPECT_EQ(u.staged(), 1);
    for (const auto& e : fs::directory_iterator(u.dir.path()))
      EXPECT_TRUE(e.path() == u.d || e.path() == u.db) << e.path();
    const auto lines = u.logs.take();
    EXPECT_TRUE(has_line(lines, "error/os: An error occurred while loading file " + u.d + ": ")) << lines.size();
    EXPECT_TRUE(has_line(lines, std::strerror(c.err)));
    EXPECT_FALSE(has_line(lines, "moved to"));

    EXPECT_TRUE(u.run());  // the next update retries
    EXPECT_EQ(dataset_load(u.d).at("url"), (std::vector<std::string>{"/a", "/old"}));
    EXPECT_EQ(u.staged(), 0);
  }
}

TEST(DbProcessing, FullDirectoryLeavesNoDatasetFileAndKeepsTheRows) {
  Update u;
  const std::string dir = u.dir.file("models");
  SmallFs small(dir, "2m");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  const std::string db = dir + "/a.com_1700000000.db";
  const std::string d = dir + "/a.com.d";
  RequestTable rows;
  for (int i = 0; i < 40; ++i) rows.push_back(row("/" + std::to_string(i), std::string(8000, 'a' + i % 26)));
  put_data_into_db(rows, u.locks, "a.com", db, u.logs.sink());
  // Room for a small file, not for the merged dataset.
  small.fill(dir + "/filler", 16384);
  DbProcessingArgs args = u.args();
  args.db_fname = db;
  args.d_fname = d;
  args.training_pcnt = 100;
  auto update = [&] { return db_processing(args); };
  u.logs.take();
  EXPECT_FALSE(update());
  EXPECT_FALSE(fs::exists(d));
  EXPECT_EQ(get_cnt_from_db(db, u.logs.sink()), 40);
  EXPECT_TRUE(has_line(u.logs.take(), std::strerror(ENOSPC)));
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_TRUE(e.path() == db || e.path() == dir + "/filler") << e.path();

  fs::remove(dir + "/filler");
  EXPECT_TRUE(update());
  EXPECT_EQ(dataset_load(d).at("url").size(), 40u);
  EXPECT_EQ(get_cnt_from_db(db, u.logs.sink()), 0);
}
