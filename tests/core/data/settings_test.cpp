#include "core/data/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::core;
using tessel::testing::LogCapture;
using tessel::testing::TempDir;

TEST(ParamProcessing, TypesDefaultsAndWarnings) {
  const Json s = Json::parse(R"({
    "b_true": true, "b_false": false, "b_yes": " Yes ", "b_off": "OFF", "b_one": 1, "b_zero": 0,
    "b_two": 2, "b_word": "maybe", "b_list": [1], "b_null": null,
    "i_int": 60, "i_neg": -5, "i_text": "60", "i_float": 1.5, "i_bool": true,
    "l_list": ["a.com", "b.com"], "l_mixed": ["a.com", 3, null], "l_text": "a.com, b.com\nc.com,,",
    "l_empty": [], "l_obj": {"a": 1}, "l_num": 5,
    "x_any": {"k": "v"}})");
  struct Case {
    Json dflt;
    const char* type;
    const char* key;
    Json expected;
    std::size_t warnings;
  };
  const Case cases[] = {
      {false, "bool", "missing", false, 0},
      {true, "bool", "b_null", true, 0},
      {false, "bool", "b_true", true, 0},
      {true, "bool", "b_false", false, 0},
      {false, "bool", "b_yes", true, 0},
      {true, "bool", "b_off", false, 0},
      {false, "bool", "b_one", true, 0},
      {true, "bool", "b_zero", false, 0},
      {false, "bool", "b_two", false, 1},
      {true, "bool", "b_word", true, 1},
      {false, "bool", "b_list", false, 1},
      {120, "int", "missing", 120, 0},
      {120, "int", "i_int", 60, 0},
      {120, "int", "i_neg", -5, 0},
      {120, "int", "i_text", "60", 0},  // unchanged: the caller warns
      {30, "int", "i_float", 1.5, 0},
      {30, "int", "i_bool", true, 0},
      {Json::array(), "list", "missing", Json::array(), 0},
      {Json::array(), "list", "l_list", Json::array({"a.com", "b.com"}), 0},
      {Json::array(), "list", "l_mixed", Json::array({"a.com"}), 1},
      {Json::array(), "list", "l_text", Json::array({"a.com", "b.com", "c.com"}), 0},
      {Json::array({"x"}), "list", "l_empty", Json::array(), 0},
      {Json::array({"x"}), "list", "l_obj", Json::array({"x"}), 1},
      {Json::array({"x"}), "list", "l_num", Json::array({"x"}), 1},
      {Json(), "other", "x_any", Json{{"k", "v"}}, 0},
  };
  LogCapture lc;
  for (const auto& c : cases) {
    EXPECT_EQ(param_processing(c.dflt, c.type, c.key, s, lc.sink()), c.expected) << c.key;
    auto events = lc.take();
    EXPECT_EQ(events.size(), c.warnings) << c.key;
    for (const auto& e : events) EXPECT_EQ(e.rfind("warn/settings: An incorrect value is set for parameter ", 0), 0u);
  }
  EXPECT_EQ(param_processing(true, "bool", "b_word", s, lc.sink()), true);
  EXPECT_EQ(lc.take(), std::vector<std::string>{
                           "warn/settings: An incorrect value is set for parameter b_word: maybe, the value will be "
                           "used: True"});
  // settings that are not a mapping give the default
  EXPECT_EQ(param_processing(10, "int", "brute__max_val", Json::array(), lc.sink()), 10);
  EXPECT_TRUE(lc.take().empty());
}

TEST(CreatePathFile, CreatesOnlyWhatIsMissing) {
  LogCapture lc;
  TempDir dir;
  EXPECT_TRUE(create_path_file(dir.file("wl.txt"), lc.sink()));
  EXPECT_EQ(tessel::testing::read_file(dir.file("wl.txt")), "");
  tessel::testing::write_file(dir.file("kept.txt"), "10.0.0.1\n");
  EXPECT_TRUE(create_path_file(dir.file("kept.txt"), lc.sink()));
  EXPECT_EQ(tessel::testing::read_file(dir.file("kept.txt")), "10.0.0.1\n");
  EXPECT_TRUE(lc.take().empty());
  EXPECT_FALSE(create_path_file(dir.file("no/such/dir/wl.txt"), lc.sink()));
  EXPECT_FALSE(create_path_file(dir.str(), lc.sink()));
  auto events = lc.take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].rfind("error/os: An error occurred while creating file " + dir.file("no/such/dir/wl.txt"), 0),
            0u);
}

TEST(WhiteLists, DdosFromFilesAndSettings) {
  LogCapture lc;
  TempDir dir;
  tessel::testing::write_file(dir.file("ip.txt"), "# office\n10.0.0.1\n  192.168.0.0/16 \nnot-an-ip\n10.0.0.1\n");
  tessel::testing::write_file(dir.file("url.txt"), "/Health\n\n/status\n");
  const Json settings = Json::parse(R"({"ddos__wl_ip": ["172.16.0.1"], "ddos__wl_url": "/ping, /health"})");
  const Json cur_ip = Json::array({"1.1.1.1"}), cur_url = Json::array({"/old"});

  auto [ips, urls] = ddos_wl_processing(settings, dir.file("ip.txt"), dir.file("url.txt"), cur_ip, cur_url, lc.sink());
  EXPECT_EQ(ips, Json::array({"10.0.0.1", "192.168.0.0/16", "172.16.0.1"}));
  EXPECT_EQ(urls, Json::array({"/health", "/status", "/ping"}));
  EXPECT_EQ(lc.take(), std::vector<std::string>{"warn/settings: An incorrect address is set in white list " +
                                                dir.file("ip.txt") + ": not-an-ip"});

  // no paths and no settings: empty lists; an unreadable file keeps the current list
  auto [ips2, urls2] = ddos_wl_processing(Json::object(), "", "", cur_ip, cur_url, lc.sink());
  EXPECT_EQ(ips2, Json::array());
  EXPECT_EQ(urls2, Json::array());
  auto [ips3, urls3] =
      ddos_wl_processing(Json::object(), dir.file("missing"), dir.file("url.txt"), cur_ip, cur_url, lc.sink());
  EXPECT_EQ(ips3, cur_ip);
  EXPECT_EQ(urls3, Json::array({"/health", "/status"}));
  EXPECT_EQ(lc.take().size(), 1u);
}

TEST(WhiteLists, BruteForceFromSettings) {
  LogCapture lc;
  const Json cur_ip = Json::array({"1.1.1.1"}), cur_host = Json::array({"old.com"});
  auto [ips, hosts] = bf_wl_processing(
      Json::parse(R"({"brute__wl_ip": "10.0.0.0/8, 10.0.0.0/8", "brute__wl_host": ["Ex.com", "*.Ex.com"]})"), cur_ip,
      cur_host, lc.sink());
  EXPECT_EQ(ips, Json::array({"10.0.0.0/8"}));
  EXPECT_EQ(hosts, Json::array({"ex.com", "*.ex.com"}));
  auto [ips2, hosts2] = bf_wl_processing(Json::object(), cur_ip, cur_host, lc.sink());
  EXPECT_EQ(ips2, Json::array());
  EXPECT_EQ(hosts2, Json::array());
  auto [ips3, hosts3] = bf_wl_processing(Json::parse(R"({"brute__wl_ip": 5})"), cur_ip, cur_host, lc.sink());
  EXPECT_EQ(ips3, cur_ip);
  EXPECT_EQ(hosts3, Json::array());
  EXPECT_EQ(lc.take().size(), 1u);
}
