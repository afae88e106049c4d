// The training process against the management-API simulator: a host with
// a training period of a few seconds collects, builds, uploads and is
// marked complete; another node receives its models; a trained host is
// watched; a restart or a stop ends the process at once.
#include "orvik/training/ml_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/data/hosts.h"
#include "core/net/endpoints.h"
#include "orvik/dataset/dataset_file.h"
#include "orvik/dataset/dataset_support.h"
#include "orvik/dataset/staging.h"
#include "orvik/training/model_exchange.h"
#include "orvik/training/model_store.h"
#include "shared/pyvalues/pyjson.h"
#include "support/log_capture.h"
#include "support/mgmt_sim.h"
#include "support/temp_dir.h"

using namespace tessel;
using tessel::testing::LogCapture;
using tessel::testing::MgmtSim;
using tessel::testing::TempDir;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kAttacks = {"' or 1=1 --",
                                           "1 union select null,null--",
                                           "<script>alert(1)</script>",
                                           "../../etc/passwd",
                                           "admin'--",
                                           "\"><img src=x onerror=alert(1)>",
                                           "; cat /etc/shadow",
                                           "${jndi:ldap://x/a}",
                                           "1; drop table users",
                                           "<svg/onload=confirm(1)>",
                                           "|| ping -c 3 10.0.0.1",
                                           "{{7*7}}",
                                           "1' AND SLEEP(5) AND '1'='1"};
const std::vector<std::string> kProbes = {"id=7&page=3", "' or 2=2 --",    "<script>x</script>", "q=shoes",
                                          "/etc/passwd", "name=bob&age=3", "1 union select 1"};

struct Node {
  TempDir root;
  Paths paths;
  Node() {
    paths.models_dir = root.str();
    paths.backup_dir = root.file("backup");
    paths.tmp_dir = root.file("tmp");
    paths.mt_fname = root.file("mt.json");
    fs::create_directories(paths.tmp_dir);
  }
};

std::string write_datasets(const TempDir& dir) {
  const std::string path = dir.file("datasets.jsonl");
  std::ofstream out(path);
  for (const auto& a : kAttacks) out << Json{{"zone", "args"}, {"value", a}, {"kind", "sqli"}}.dump() << "\n";
  out << Json{{"zone", "ua"}, {"value", "Googlebot/2.1"}, {"kind", "whitelist"}}.dump() << "\n";
  return path;
}

orvik::MlCoreArgs args_for(const MgmtSim& sim, const Node& node, const LogCapture& lc, const std::string& vhost) {
  orvik::MlCoreArgs a;
  a.nsg = std::make_shared<LocalNsg>();
  a.db_processing_lock[vhost] = std::make_shared<ProcessLock>();
  a.training_lock = std::make_shared<ProcessLock>();
  a.ml_vhost = vhost;
  a.vhost = core::vhost_normalization(vhost);
  a.ml_fnames = path_join(node.paths.models_dir, a.vhost + "*.ml");
  a.db_fnames = path_join(node.paths.models_dir, a.vhost + "*.db");
  a.run.sink = lc.sink();
  a.run.api.key = "k1";
  a.run.api.cookie = Json{{"key", "k1"}};
  a.run.endpoints.build_first(sim.api_base());
  a.run.endpoints.build_last(sim.api_base());
  a.run.dataset_urls = core::dataset_urls(sim.dataset_base());
  a.run.paths = node.paths;
  a.pauses.pass = std::chrono::milliseconds(200);
  a.pauses.retry = std::chrono::milliseconds(50);
  a.pauses.restart_wait = std::chrono::milliseconds(10);
  a.pauses.upload_retry = std::chrono::milliseconds(50);
  a.pauses.status_poll = std::chrono::milliseconds(100);
  return a;
}

bool has(const std::vector<std::string>& log, const std::string& line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

std::vector<std::int64_t> predictions(const orvik::HostModels& m) {
  return m.rf->at("args").predict(m.vect->at("args").transform(kProbes));
}

}  // namespace

TEST(MlCore, ShortTrainingPeriodEndsWithModelsAtTheApi) {
  TempDir data;
  const double days = 2.0 / 86400;  // two seconds
  const Json seed = Json::array({Json{{"vhost", "shop.example"}, {"complete", false}, {"duration", days}}});
  tessel::testing::write_file(data.file("training.json"), seed.dump());
  MgmtSim sim({"--datasets", write_datasets(data), "--training", data.file("training.json")});
  Node a;
  LogCapture lc;
  orvik::MlCoreArgs args = args_for(sim, a, lc, "shop.example");
  const auto start =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  args.db_fname = path_join(a.paths.models_dir, args.vhost + "_" + std::to_string(start) + ".db");
  args.training_period = days * 24 * 60 * 60;
  args.training_period_days = days;

  // The classification path stages clean traffic meanwhile.
  std::thread stage([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RequestTable rows;
    for (int i = 0; i < 40; ++i) {
      RequestRecord r;
      r.id = std::string(31, '0') + std::to_string(i % 10);
      r.vhost = "shop.example";
      r.url = "/shop/item/" + std::to_string(i);
      r.args = "id=" + std::to_string(i) + "&page=" + std::to_string(i % 4) + "\r\nq=item" + std::to_string(i);
      r.ua = "Mozilla/5.0";
      rows.push_back(r);
    }
    orvik::put_data_into_db(rows, args.db_processing_lock, "shop.example", *args.db_fname, lc.sink());
  });
  orvik::ml_core(args);
  stage.join();

  EXPECT_TRUE(args.nsg->restart_signal());
  const Json state = Json::parse(sim.get("/vx-api/sim/state"));
  EXPECT_EQ(state["training"][0]["complete"], true);
  EXPECT_EQ(state["progress"]["shop.example"], "100");
  ASSERT_TRUE(state["models"].contains("shop.example"));
  EXPECT_TRUE(fs::is_empty(a.paths.tmp_dir));
  EXPECT_TRUE(fs::exists(path_join(a.paths.models_dir, "shop.example.d")));
  const auto log = lc.take();
  EXPECT_TRUE(has(log, "info/ml: Training for virtual host shop.example is complete")) << log.size();
  EXPECT_TRUE(has(log, "info/api: Training status for virtual host shop.example has been updated successfully"));

  // Both nodes take the models from the management API; they predict alike.
  Node b;
  const std::string get_models_url = args.run.endpoints.get_models_url;
  EXPECT_TRUE(orvik::tessel_models_receiver(false, a.paths.models_dir, get_models_url, args.run.api, lc.sink()));
  EXPECT_TRUE(orvik::tessel_models_receiver(false, b.paths.models_dir, get_models_url, args.run.api, lc.sink()));
  EXPECT_FALSE(orvik::tessel_models_receiver(false, b.paths.models_dir, get_models_url, args.run.api, lc.sink()));
  const auto ma = orvik::tessel_models_load(a.paths.models_dir, "shop.example", lc.sink());
  const auto mb = orvik::tessel_models_load(b.paths.models_dir, "shop.example", lc.sink());
  ASSERT_TRUE(ma.usable());
  ASSERT_TRUE(mb.usable());
  EXPECT_EQ(predictions(ma), predictions(mb));
  EXPECT_EQ(predictions(ma)[1], 1);
  EXPECT_EQ(orvik::tessel_models_dict(b.paths.models_dir, true, lc.sink()).at("shop.example"),
            state["models"]["shop.example"]);

  // After the restart the host is trained: its collection files go, and it
  // is watched until the service stops.
  lc.take();
  orvik::MlCoreArgs trained = args_for(sim, a, lc, "shop.example");
  std::stop_source stop;
  trained.stop = stop.get_token();
  std::thread watcher([&] { orvik::ml_core(trained); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop.request_stop();
  watcher.join();
  EXPECT_FALSE(trained.nsg->restart_signal());
  EXPECT_FALSE(fs::exists(path_join(a.paths.models_dir, "shop.example.d")));
  EXPECT_TRUE(core::host_staging_files(a.paths.models_dir, "shop.example").empty());
}

TEST(MlCore, TrainedHostAskedToRetrainRestarts) {
  TempDir data;
  tessel::testing::write_file(data.file("training.json"), R"([{"vhost": "a.com", "complete": false, "duration": 4}])");
  MgmtSim sim({"--training", data.file("training.json")});
  Node a;
  LogCapture lc;
  orvik::MlCoreArgs args = args_for(sim, a, lc, "a.com");
  tessel::testing::write_file(path_join(a.paths.models_dir, "a.com_17.db"), "");
  tessel::testing::write_file(path_join(a.paths.models_dir, "a.com2_17.db"), "");
  orvik::ml_core(args);
  EXPECT_TRUE(args.nsg->restart_signal());
  EXPECT_FALSE(fs::exists(path_join(a.paths.models_dir, "a.com_17.db")));
  EXPECT_TRUE(fs::exists(path_join(a.paths.models_dir, "a.com2_17.db")));
  const auto log = lc.take();
  EXPECT_TRUE(has(log, "warn/ml: Training is not completed for virtual host a.com"));
}

TEST(MlCore, EndsAtOnceWhenTheServiceStops) {
  struct Case {
    const char* name;
    bool collecting;
    bool restart_pending;
  };
  // Held by the training thread too, so that a thread that never returns
  // can be left behind without its state going away.
  struct Run {
    MgmtSim sim;
    Node a;
    LogCapture lc;
    orvik::MlCoreArgs args;
  };
  for (const Case c :
       {Case{"collecting", true, false}, Case{"trained", false, false}, Case{"restart pending", true, true}}) {
    SCOPED_TRACE(c.name);
    auto run = std::make_shared<Run>();
    orvik::MlCoreArgs& args = run->args;
    args = args_for(run->sim, run->a, run->lc, "a.com");
    args.pauses = orvik::TrainingPauses{};  // the real pauses: 30 s, 5 s, 120 s
    if (c.collecting) {
      args.db_fname = path_join(run->a.paths.models_dir, "a.com_" + std::to_string(std::time(nullptr)) + ".db");
      args.training_period = 4 * 86400;
    }
    args.nsg->set_restart_signal(c.restart_pending);
    std::stop_source stop;
    args.stop = stop.get_token();
    std::promise<void> returned;
    std::future<void> done = returned.get_future();
    std::thread t([run, returned = std::move(returned)]() mutable {
      orvik::ml_core(run->args);
      returned.set_value();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.request_stop();
    // Without the stop the call would go on past every pause; the bound only
    // keeps a broken run from hanging the suite.
    const bool ended = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(ended) << "ml_core did not return after the stop";
    if (ended) {
      t.join();
    } else {
      t.detach();
    }
  }
}

// At the end of the period the dataset file cannot be written, or not read
// back, a few times: the staged rows stay, the update or the load is tried
// again, and training goes on with every row.
TEST(MlCore, FailedDatasetOpenAtTheEndOfThePeriodIsRetried) {
  struct Case {
    const char* name;
    bool write;
  };
  for (const Case c : {Case{"write", true}, Case{"read", false}}) {
    SCOPED_TRACE(c.name);
    MgmtSim sim;
    Node a;
    LogCapture lc;
    orvik::MlCoreArgs args = args_for(sim, a, lc, "a.com");
    args.db_fname = path_join(a.paths.models_dir, "a.com_" + std::to_string(std::time(nullptr) - 100) + ".db");
    args.training_period = 10;  // over
    RequestTable rows;
    for (int i = 0; i < 30; ++i) rows.push_back(tessel::testing::row("/item/" + std::to_string(i)));
    orvik::put_data_into_db(rows, args.db_processing_lock, "a.com", *args.db_fname, lc.sink());
    const std::string d = path_join(a.paths.models_dir, "a.com.d");

    tessel::testing::OpenFaults faults(c.write, EMFILE, 2);
    std::stop_source stop;
    args.stop = stop.get_token();
    std::thread t([&] { orvik::ml_core(args); });
    // Until the dataset is backed up, or the process gives up on it.
    std::vector<std::string> log;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto reached = [&] {
      for (const auto& l : log)
        if (l.starts_with("info/os: Copy ") || l.starts_with("warn/os: Restart signal") ||
            l.find("preparing data for training") != std::string::npos)
          return true;
      return false;
    };
    while (!reached() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      for (auto& l : lc.take()) log.push_back(std::move(l));
    }
    stop.request_stop();
    t.join();
    for (auto& l : lc.take()) log.push_back(std::move(l));

    EXPECT_EQ(faults.injected, 2);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const auto& l) { return l.starts_with("info/os: Copy "); }));
    EXPECT_FALSE(args.nsg->restart_signal());
    EXPECT_TRUE(fs::exists(*args.db_fname));
    ASSERT_TRUE(fs::exists(d));
    EXPECT_EQ(orvik::dataset_load(d).at("url").size(), 30u);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [&](const auto& l) {
                              return l.starts_with("error/os: An error occurred while loading file " + d + ": ");
                            }),
              2);
  }
}

// Temporary files of dataset writes cut short are removed when the host's
// training process starts; other files, and other hosts', stay.
TEST(MlCore, StaleTemporaryDatasetFilesGoAtStart) {
  MgmtSim sim;
  Node a;
  LogCapture lc;
  orvik::MlCoreArgs args = args_for(sim, a, lc, "a.com");
  args.nsg->set_restart_signal(true);  // ends the process at once
  const std::vector<std::string> stale = {"a.com.d.bak.tmp.4242.3735928559", "a.com.d.tmp.1.2"};
  const std::vector<std::string> kept = {"a.com.d",
                                         "a.com.d.bak",
                                         "a.com.d.corrupt",
                                         "a.com.d.bak.tmp.1.d",
                                         "b.com.d.bak.tmp.1.2",
                                         "a.com.d.bak.tmp.x.2",
                                         "a.com.d.bak.tmp.12"};
  for (const auto& f : stale) tessel::testing::write_file(path_join(a.paths.models_dir, f), "x");
  for (const auto& f : kept) tessel::testing::write_file(path_join(a.paths.models_dir, f), "x");
  orvik::ml_core(args);
  for (const auto& f : stale) EXPECT_FALSE(fs::exists(path_join(a.paths.models_dir, f))) << f;
  for (const auto& f : kept) EXPECT_TRUE(fs::exists(path_join(a.paths.models_dir, f))) << f;
  const auto log = lc.take();
  EXPECT_TRUE(has(log, "info/os: Stale temporary file deleted: " + path_join(a.paths.models_dir, stale[0])));
}
