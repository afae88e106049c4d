#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "shared/pyvalues/config_parser.h"
#include "shared/runtime/interrupt.h"
#include "shared/runtime/nsg.h"
#include "support/temp_dir.h"
#include "tessel/log_lines.h"
#include "tessel/service.h"

using namespace tessel;
using namespace std::chrono_literals;
using tessel::testing::Line;
using tessel::testing::parse_log;
using tessel::testing::read_file;
using tessel::testing::TempDir;
using tessel::testing::write_file;

namespace {

struct StartRun {
  TempDir dir;
  LocalNsg nsg;
  std::vector<std::string> printed;
  svc::RunOptions opts;
  std::string conf;
  bool reached_settings = false;

  StartRun() {
    opts.restart_wait = 50ms;
    opts.loop_pause = 10ms;
    opts.log_root = dir.file("log") + "/";
    opts.models_root = dir.file("ml") + "/";
    opts.refdata.dataset_base_url = "http://127.0.0.1:9/vx";
    opts.print = [this](const std::string& s) { printed.push_back(s); };
    // These runs end where the settings of the management API are fetched.
    opts.before_phase = [this](int phase) {
      if (phase == 10) {
        reached_settings = true;
        throw Interrupted{};
      }
    };
    conf = dir.file("tessel.conf");
    std::filesystem::create_directory(dir.file("log"));
    std::filesystem::create_directory(dir.file("ml"));
  }
  // Runs the service with the default configuration; an interruption where
  // the settings are fetched ends the run.
  void run() {
    try {
      svc::tessel_main(nsg, conf, conf, opts);
    } catch (const Interrupted&) {
    }
  }
  // The log's records after "START" and "Configuration file: …", once `last`
  // has been written (the listener writes asynchronously).
  std::vector<Line> log_after_start(const std::string& last) {
    std::vector<Line> lines;
    for (int i = 0; i < 400; ++i) {
      lines = parse_log(read_file(dir.file("log/tessel.log")));
      if (!lines.empty() && lines.back().message == last) break;
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_GE(lines.size(), 2u);
    if (lines.size() >= 2) {
      EXPECT_EQ(lines[0], (Line{"INFO", "START"}));
      EXPECT_EQ(lines[1], (Line{"INFO", "Configuration file: " + conf}));
      lines.erase(lines.begin(), lines.begin() + 2);
    }
    return lines;
  }
};

const char* const kWarning = "Restart signal received, waiting for service restart";
const std::string kValid = "[main]\napi_uri = http://127.0.0.1:8089\n[run]\nrmq_host = guest:guest@127.0.0.1\n";

}  // namespace

TEST(Startup, DirectoryFailurePrintsSetsTheFlagAndReturnsAfterTheWait) {
  StartRun r;
  // the parent of the log root is missing: the first creation fails
  r.opts.log_root = r.dir.file("missing/log") + "/";
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

// A dangling link counts as missing; creating the directory then fails.
TEST(Startup, DanglingLinkIsACreationFailure) {
  StartRun r;
  const std::string backup = r.dir.file("ml/backup/");
  std::filesystem::create_symlink(r.dir.file("nowhere"), r.dir.file("ml/backup"));
  svc::tessel_main(r.nsg, "/etc/tessel.conf", "/etc/tessel.conf", r.opts);
  EXPECT_TRUE(r.nsg.restart_signal());
  ASSERT_EQ(r.printed.size(), 1u);
  EXPECT_EQ(r.printed[0],
            "An error occurred while creating directory " + backup + ": [Errno 17] File exists: '" + backup + "'");
  EXPECT_FALSE(std::filesystem::exists(r.dir.file("ml/tmp")));
  // nothing is logged at this stage
  EXPECT_FALSE(std::filesystem::exists(r.dir.file("log/tessel.log")));
}

// A NUL in a directory's name is a creation failure, not a shorter path.
TEST(Startup, NulInTheConfigurationNameIsACreationFailure) {
  StartRun r;
  const std::string conf = r.dir.file(std::string("a\0b.conf", 8));
  const std::string log_dir = r.opts.log_root + std::string("a\0b", 3);
  svc::tessel_main(r.nsg, conf, r.conf, r.opts);
  EXPECT_TRUE(r.nsg.restart_signal());
  ASSERT_EQ(r.printed.size(), 1u);
  EXPECT_EQ(r.printed[0], "An error occurred while creating directory " + log_dir + ": embedded null byte");
  EXPECT_FALSE(std::filesystem::exists(r.dir.file("log/a")));
}

// A log file that cannot be opened is not guarded: the error leaves
// tessel_main, nothing is printed and no restart is requested.
TEST(Startup, LogFileThatCannotBeOpenedLeavesAsAnError) {
  StartRun r;
  write_file(r.conf, kValid);
  std::filesystem::create_directory(r.dir.file("log/tessel.log"));
  try {
    r.run();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "[Errno 21] Is a directory: '" + r.dir.file("log/tessel.log") + "'");
  }
  EXPECT_FALSE(r.nsg.restart_signal());
  EXPECT_FALSE(r.reached_settings);
  EXPECT_TRUE(r.printed.empty());
}

TEST(Startup, CreatesDirectoriesAndReachesTheSettingsPhase) {
  StartRun r;
  const std::string site = r.dir.file("site.conf");
  write_file(site, kValid);
  r.nsg.set_pid(site, 4242);
  EXPECT_THROW(svc::tessel_main(r.nsg, site, r.conf, r.opts), Interrupted);
  EXPECT_TRUE(r.reached_settings);
  EXPECT_FALSE(r.nsg.restart_signal());
  for (auto d : {"log/site", "ml/site", "ml/site/backup", "ml/site/tmp", "ml/site/tmp/rmq", "ml/site/db"})
    EXPECT_TRUE(std::filesystem::is_directory(r.dir.file(d))) << d;
  EXPECT_TRUE(std::filesystem::exists(r.dir.file("ml/site/instance_id")));
  std::string log;
  for (int i = 0; i < 400 && log.find("Maximum training") == std::string::npos; ++i) {
    std::this_thread::sleep_for(5ms);
    log = read_file(r.dir.file("log/site/tessel.log"));
  }
  const auto lines = parse_log(log);
  const std::vector<Line> want = {{"INFO", "START"},
                                  {"INFO", "Configuration file: " + site},
                                  {"INFO", "Reading configuration"},
                                  {"INFO", "Corvane WAF API Base URL: http://127.0.0.1:8089/vx-api/"},
                                  {"INFO", "Maximum training dataset size: 800000 request(s)"}};
  EXPECT_EQ(lines, want);
}

// Each stop of the configuration phases: what is printed, what is logged
// after the first two lines, and the pending-restart flag.
TEST(Startup, ConfigurationStops) {
  struct Case {
    const char* name;
    std::string ini;  // "" with `no_file`: the file does not exist
    bool no_file;
    std::vector<std::string> printed;  // "{f}" stands for the file's path
    std::vector<Line> log;
  };
  const std::string parse = "An error occurred while parsing file {f}: ";
  const std::string bad = "Corvane AI TESSEL settings is not correct: ";
  const Line reading{"INFO", "Reading configuration"};
  const Line warn{"WARNING", kWarning};
  const Line base{"INFO", "Corvane WAF API Base URL: http://127.0.0.1:8089/vx-api/"};
  const Line limit{"INFO", "Maximum training dataset size: 800000 request(s)"};
  const std::vector<Case> cases = {
      {"missing file",
       "",
       true,
       {},
       {reading,
        {"WARNING", "Configuration file {f} could not be read: [Errno 2] No such file or directory"},
        {"CRITICAL", bad + "No section: 'run'"},
        warn}},
      {"duplicate option",
       "[main]\ndebug = 1\nDEBUG = 0\n",
       false,
       {parse + "While reading from '{f}' [line  3]: option 'debug' in section 'main' already exists"},
       {reading,
        {"CRITICAL", parse + "While reading from '{f}' [line  3]: option 'debug' in section 'main' already exists"}}},
      {"malformed line",
       "[main]\nthis is no option\n",
       false,
       {parse + "Source contains parsing errors: '{f}'\n\t[line  2]: 'this is no option\\n'"},
       {reading, {"CRITICAL", parse + "Source contains parsing errors: '{f}'\n\t[line  2]: 'this is no option\\n'"}}},
      {"not UTF-8",
       "[main]\ndebug = \xff\n",
       false,
       {parse + "'utf-8' codec can't decode byte 0xff in position 15: invalid start byte"},
       {reading, {"CRITICAL", parse + "'utf-8' codec can't decode byte 0xff in position 15: invalid start byte"}}},
      {"no [run] section",
       "[main]\napi_uri = h\n",
       false,
       {},
       {reading, {"CRITICAL", bad + "No section: 'run'"}, warn}},
      {"no rmq_host",
       "[run]\nhost = x\n",
       false,
       {},
       {reading, {"CRITICAL", bad + "No option 'rmq_host' in section: 'run'"}, warn}},
      {"host list of only spaces",
       "[run]\nrmq_host =   \n      \n",
       false,
       {},
       {reading, {"CRITICAL", "RabbitMQ consumer list is empty"}, warn}},
      {"broker item without @",
       "[run]\nrmq_host = a@h\n guest\n",
       false,
       {},
       {reading, {"CRITICAL", bad + "broker entry 2 of [run] rmq_host has no \"@\""}, warn}},
      {"broker port out of range",
       "[run]\nrmq_host = guest:secret@h:99999\n",
       false,
       {},
       {reading,
        {"CRITICAL", bad + "broker entry 1 of [run] rmq_host: the port is not a number from 1 to 65535"},
        warn}},
      {"broker port not a number",
       "[run]\nrmq_host = a@h guest:secret@h:abc\n",
       false,
       {},
       {reading,
        {"CRITICAL", bad + "broker entry 2 of [run] rmq_host: the port is not a number from 1 to 65535"},
        warn}},
      {"api_uri with a space",
       "[main]\napi_uri = http://127.0.0.1:8089 junk\n[run]\nrmq_host = a@h\n",
       false,
       {},
       {reading,
        {"CRITICAL", bad + "[main] api_uri is not a usable address: InvalidURL: Invalid URL "
                           "'http://127.0.0.1:8089 junk/vx-api/': Port number was not a decimal number between 0 "
                           "and 65535"},
        warn}},
      {"api_uri with a NUL",
       "[main]\napi_uri = http://127.0.0.1:8089" + std::string(1, '\0') + "x\n[run]\nrmq_host = a@h\n",
       false,
       {},
       {reading,
        {"CRITICAL", bad + "[main] api_uri is not a usable address: InvalidURL: Invalid URL "
                           "'http://127.0.0.1:8089\\x00x/vx-api/': NUL byte in URL"},
        warn}},
      {"no api_uri",
       "[run]\nrmq_host = a@h\n",
       false,
       {},
       {reading, {"CRITICAL", "Corvane WAF API URL is not set in {f}"}, warn}},
      {"empty api_uri",
       "[main]\napi_uri =\n[run]\nrmq_host = a@h\n",
       false,
       {},
       {reading, {"CRITICAL", "Corvane WAF API URL is not set in {f}"}, warn}},
      {"api_uri none",
       "[main]\napi_uri = none\n[run]\nrmq_host = a@h\n",
       false,
       {},
       {reading, {"CRITICAL", "Corvane WAF API URL is not set in {f}"}, warn}},
      {"api_uri rejected by the normaliser",
       "[main]\napi_uri = a..b\n[run]\nrmq_host = a@h\n",
       false,
       {},
       {reading,
        {"CRITICAL", bad + "encoding with 'idna' codec failed (UnicodeError: label empty or too long)"},
        warn}},
      {"dataset_limit not a number",
       kValid + "[training]\ndataset_limit = 10k\n",
       false,
       {},
       {reading, base, {"CRITICAL", bad + "invalid literal for int() with base 10: '10k'"}, warn}},
      {"distributed enable not a boolean",
       kValid + "[distributed]\nenable = maybe\n",
       false,
       {},
       {reading, base, limit, {"CRITICAL", bad + "Not a boolean: maybe"}, warn}},
      {"distributed master not a boolean",
       kValid + "[distributed]\nenable = 1\nmaster = 2\n",
       false,
       {},
       {reading,
        base,
        limit,
        {"INFO", "Corvane AI TESSEL running in distributed mode"},
        {"CRITICAL", bad + "Not a boolean: 2"},
        warn}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartRun r;
    if (!c.no_file) write_file(r.conf, c.ini);
    auto fill = [&](std::string s) {
      for (auto p = s.find("{f}"); p != std::string::npos; p = s.find("{f}")) s.replace(p, 3, r.conf);
      return s;
    };
    r.run();
    EXPECT_FALSE(r.reached_settings);
    EXPECT_TRUE(r.nsg.restart_signal());
    std::vector<std::string> printed;
    for (const auto& p : c.printed) printed.push_back(fill(p));
    EXPECT_EQ(r.printed, printed);
    std::vector<Line> want;
    for (const auto& l : c.log) want.push_back({l.level, fill(l.message)});
    EXPECT_EQ(r.log_after_start(want.back().message), want);
  }
}

// A file that cannot be read counts as empty: the broker option is missing;
// a warning names the cause first.
TEST(Startup, UnreadableFileReadsAsEmpty) {
  for (const bool directory : {true, false}) {
    if (!directory && ::geteuid() == 0) continue;  // root reads every file
    SCOPED_TRACE(directory ? "a directory" : "no permission");
    StartRun r;
    if (directory) {
      std::filesystem::create_directory(r.conf);
    } else {
      write_file(r.conf, kValid);
      ::chmod(r.conf.c_str(), 0);
    }
    r.run();
    EXPECT_TRUE(r.nsg.restart_signal());
    EXPECT_TRUE(r.printed.empty());
    const std::vector<Line> want = {
        {"INFO", "Reading configuration"},
        {"WARNING", "Configuration file " + r.conf + " could not be read: " +
                        (directory ? "[Errno 21] Is a directory" : "[Errno 13] Permission denied")},
        {"CRITICAL", "Corvane AI TESSEL settings is not correct: No section: 'run'"},
        {"WARNING", kWarning}};
    EXPECT_EQ(r.log_after_start(kWarning), want);
  }
}

// An invalid debug value is logged, then leaves tessel_main as the error;
// no restart is requested.
TEST(Startup, InvalidDebugValueLeavesAsAnError) {
  StartRun r;
  write_file(r.conf, "[main]\ndebug = maybe\n" + kValid.substr(7));
  try {
    r.run();
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Not a boolean: maybe");
  }
  EXPECT_FALSE(r.nsg.restart_signal());
  EXPECT_FALSE(r.reached_settings);
  const std::string why = "An error occurred while processing debug from " + r.conf + ": Not a boolean: maybe";
  const std::vector<Line> want = {{"INFO", "Reading configuration"}, {"CRITICAL", why}};
  EXPECT_EQ(r.log_after_start(why), want);
}

TEST(Startup, OptionLinesOfAFullConfiguration) {
  struct Case {
    const char* name;
    std::string ini;
    std::vector<Line> log;
  };
  const Line reading{"INFO", "Reading configuration"};
  const Line limit{"INFO", "Maximum training dataset size: 800000 request(s)"};
  const std::vector<Case> cases = {
      {"everything",
       "[main]\nDebug = yes\nsettings_upd_delay = 15\napi_uri = HTTP://Waf.Example:80/Base\napi_key = k1\n"
       "[run]\nrmq_host = u@h1\n  ssl://u@h2\n[training]\ndataset_limit = -5\n"
       "[distributed]\nenable = on\nmaster = true\n[proxy]\nsys_proxy = proxy:3128\napi_proxy = https://p2:1\n",
       {reading,
        {"DEBUG", "PID: 4242"},
        {"INFO", "Additional delay when updating settings: 15"},
        {"INFO", "Corvane WAF API Base URL: http://http/Waf.Example:80/Base/vx-api/"},
        {"INFO", "Maximum training dataset size: -5 request(s)"},
        {"INFO", "Corvane AI TESSEL running in distributed mode"},
        {"INFO", "Corvane AI TESSEL is used as a master"},
        {"INFO", "System proxy server: http://proxy:3128"},
        {"INFO", "API proxy server: https://p2:1"}}},
      {"quiet values",
       "[main]\ndebug = no\nsettings_upd_delay = -3\napi_uri = https://h:443/x/vx-api\n[run]\nrmq_host = u@h\n"
       "[distributed]\nenable = off\nmaster = yes\n[proxy]\nsys_proxy =\n",
       {reading, {"INFO", "Corvane WAF API Base URL: https://h/x/vx-api"}, limit}},
      {"bad delay, master without distributed mode",
       "[main]\nsettings_upd_delay = soon\napi_uri = None\n[run]\nrmq_host = u@h\n[distributed]\nenable = 1\n",
       {reading,
        {"ERROR",
         "An error occurred while processing settings_upd_delay from {f}: invalid literal for int() with "
         "base 10: 'soon'"},
        {"INFO", "Corvane WAF API Base URL: http://none/vx-api/"},
        limit,
        {"INFO", "Corvane AI TESSEL running in distributed mode"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StartRun r;
    r.nsg.set_pid(r.conf, 4242);
    write_file(r.conf, c.ini);
    r.run();
    EXPECT_TRUE(r.reached_settings);
    EXPECT_FALSE(r.nsg.restart_signal());
    EXPECT_TRUE(r.printed.empty());
    std::vector<Line> want = c.log;
    for (auto& l : want)
      if (auto p = l.message.find("{f}"); p != std::string::npos) l.message.replace(p, 3, r.conf);
    EXPECT_EQ(r.log_after_start(want.back().message), want);
  }
}

TEST(Startup, UnusableInstanceIdFileIsASettingsStop) {
  StartRun r;
  write_file(r.conf, kValid);
  std::filesystem::create_directory(r.dir.file("ml/instance_id"));
  r.run();
  EXPECT_TRUE(r.nsg.restart_signal());
  const std::string fatal = "Corvane AI TESSEL settings is not correct: cannot read the instance id file " +
                            r.dir.file("ml/instance_id") + ": [Errno 21] Is a directory";
  const std::vector<Line> want = {{"INFO", "Reading configuration"},
                                  {"INFO", "Corvane WAF API Base URL: http://127.0.0.1:8089/vx-api/"},
                                  {"INFO", "Maximum training dataset size: 800000 request(s)"},
                                  {"CRITICAL", fatal},
                                  {"WARNING", kWarning}};
  EXPECT_EQ(r.log_after_start(kWarning), want);
}

// The instance id is created once in the model directory and kept.
TEST(Startup, InstanceIdIsKeptAcrossStarts) {
  StartRun r;
  write_file(r.conf, kValid);
  r.run();
  ASSERT_TRUE(r.reached_settings);
  const std::string id = read_file(r.dir.file("ml/instance_id"));
  EXPECT_EQ(id.size(), 33u) << id;
  StartRun again;
  again.opts.models_root = r.opts.models_root;
  again.opts.log_root = r.opts.log_root;
  write_file(again.conf, kValid);
  again.run();
  EXPECT_TRUE(again.reached_settings);
  EXPECT_EQ(read_file(r.dir.file("ml/instance_id")), id);
}
