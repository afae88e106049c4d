#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "shared/interrupt.h"
#include "shared/nsg.h"
#include "support/temp_dir.h"
#include "tessel/service.h"

using namespace tessel;
using namespace std::chrono_literals;
using tessel::testing::read_file;
using tessel::testing::TempDir;

namespace {
struct StartRun {
  TempDir dir;
  LocalNsg nsg;
  std::vector<std::string> printed;
  svc::RunOptions opts;
  StartRun() {
    opts.restart_wait = 50ms;
    opts.loop_pause = 10ms;
    opts.log_root = dir.file("log") + "/";
    opts.models_root = dir.file("ml") + "/";
    opts.print = [this](const std::string& s) { printed.push_back(s); };
  }
};
}  // namespace

TEST(Startup, DirectoryFailurePrintsSetsTheFlagAndReturnsAfterTheWait) {
  StartRun r;
  // the parent of the log root is missing: the first creation fails
  r.opts.log_root = r.dir.file("missing/log") + "/";
  std::filesystem::create_directory(r.dir.file("ml"));
  bool flag_during_wait = false;
  r.opts.check_interrupt = [&] {
    if (r.nsg.restart_signal()) flag_during_wait = true;
  };
  auto t0 = std::chrono::steady_clock::now();
  svc::tessel_main(r.nsg, "/etc/tessel.conf", "/etc/tessel.conf", r.opts);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);
  EXPECT_TRUE(r.nsg.restart_signal());
  EXPECT_TRUE(flag_during_wait);
  ASSERT_EQ(r.printed.size(), 1u);
  EXPECT_EQ(r.printed[0], "An error occurred while creating directory " + r.opts.log_root +
                              ": [Errno 2] No such file or directory: '" + r.opts.log_root + "'");
  EXPECT_FALSE(std::filesystem::exists(r.dir.file("ml/backup")));  // later entries are not tried
}

TEST(Startup, CreatesDirectoriesAndStartsTheLog) {
  StartRun r;
  std::filesystem::create_directory(r.dir.file("log"));
  std::filesystem::create_directory(r.dir.file("ml"));
  r.nsg.set_pid("/etc/site.conf", 4242);
  int passes = 0;
  r.opts.check_interrupt = [&] {
    if (++passes > 5) throw Interrupted{};
  };
  EXPECT_THROW(svc::tessel_main(r.nsg, "/etc/site.conf", "/etc/tessel.conf", r.opts), Interrupted);
  EXPECT_FALSE(r.nsg.restart_signal());
  for (auto d : {"log/site", "ml/site", "ml/site/backup", "ml/site/tmp", "ml/site/tmp/rmq", "ml/site/db"})
    EXPECT_TRUE(std::filesystem::is_directory(r.dir.file(d))) << d;
  // the listener writes asynchronously
  std::string log;
  for (int i = 0; i < 200; ++i) {
    log = read_file(r.dir.file("log/site/tessel.log"));
    if (log.find("Configuration file") != std::string::npos) break;
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_NE(log.find(" MAIN         INFO     START\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" MAIN         INFO     Configuration file: /etc/site.conf\n"), std::string::npos) << log;
  EXPECT_LT(log.find("START"), log.find("Configuration file"));
}
