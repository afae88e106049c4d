#include "core/data/hosts.h"

#include <gtest/gtest.h>

#include <set>

#include "support/log_capture.h"
#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::core;
using tessel::testing::LogCapture;
using tessel::testing::TempDir;

TEST(VhostNormalization, HostileNamesBecomeSafeFileNames) {
  const std::string long_host(300, 'a');
  struct Case {
    std::string host, expected;
  };
  const Case cases[] = {
      {"example.com", "example.com"},
      {"Example.COM", "Example.COM"},
      {"*", "_2a"},
      {"*.example.com", "_2a.example.com"},
      {".example.com", "_2eexample.com"},
      {"../x", "_2e._2fx"},
      {"a/b", "a_2fb"},
      {"[ab]", "_5bab_5d"},
      {"a?b", "a_3fb"},
      {"a_b", "a_5fb"},
      {"", "_"},
      {".", "_2e"},
      {"..", "_2e."},
      {std::string("a\0b", 3), "a_00b"},
      {"host:8080", "host_3a8080"},
      {"b\xc3\xbc.de", "b_c3_bc.de"},
  };
  for (const auto& c : cases) EXPECT_EQ(vhost_normalization(c.host), c.expected) << c.host;

  auto cut = vhost_normalization(long_host);
  EXPECT_EQ(cut.size(), 200u);
  EXPECT_EQ(cut.substr(0, 183), std::string(183, 'a'));
  EXPECT_EQ(cut[183], '_');
  EXPECT_NE(vhost_normalization(long_host + "b"), cut);  // the hash tells long names apart
  EXPECT_EQ(vhost_normalization(long_host), cut);        // and is stable
  EXPECT_EQ(vhost_normalization(std::string(200, 'a')), std::string(200, 'a'));

  for (const auto& c : cases) {
    const auto v = vhost_normalization(c.host);
    EXPECT_FALSE(v.empty());
    EXPECT_NE(v.front(), '.');
    EXPECT_EQ(v.find_first_of(std::string("/*?[]\\{}\0", 10)), std::string::npos) << v;
  }
}

TEST(VhostNormalization, DifferentEntriesGetDifferentNames) {
  const std::vector<std::string> hosts = {"a.com",    "a_com",  "a-com", "*.a.com", "_2a.a.com", ".a.com",
                                          "_2ea.com", "a.com.", "A.com", "*",       "_2a",       ""};
  std::set<std::string> names;
  for (const auto& h : hosts) names.insert(vhost_normalization(h));
  EXPECT_EQ(names.size(), hosts.size());
  LogCapture lc;
  EXPECT_EQ(vhost_normalization("*", lc.sink()), "_2a");
  EXPECT_TRUE(lc.take().empty());
}

TEST(HostFiles, MatchOnlyTheHostsOwnFiles) {
  TempDir dir;
  for (const char* f : {"a.com_rf.ml", "a.com_vect.ml", "a.com_1700000000.db", "a.com.cn_rf.ml", "a.com.cn_vect.ml",
                        "a.com.cn_1700000001.db", "a.com_x.db", "a.com_.db", "a.com_12.db.bak", "a.com_rf.ml.tmp",
                        "b_2a_5.db", "a.com_15.db"})
    tessel::testing::write_file(dir.file(f), "");
  std::filesystem::create_directory(dir.path() / "a.com_99.db");  // not a file

  EXPECT_EQ(host_model_files(dir.str(), "a.com"),
            (std::vector<std::string>{dir.str() + "a.com_rf.ml", dir.str() + "a.com_vect.ml"}));
  EXPECT_EQ(host_staging_files(dir.str(), "a.com"),
            (std::vector<std::string>{dir.str() + "a.com_15.db", dir.str() + "a.com_1700000000.db"}));
  EXPECT_EQ(host_staging_files(dir.str(), "a.com.cn"),
            (std::vector<std::string>{dir.str() + "a.com.cn_1700000001.db"}));
  EXPECT_TRUE(host_model_files(dir.str(), "a").empty());
  EXPECT_TRUE(host_staging_files(dir.str(), "b").empty());
  EXPECT_TRUE(host_staging_files(dir.str() + "missing/", "a.com").empty());

  struct Case {
    const char* name;
    const char* v;
    bool staging, model;
  };
  const Case cases[] = {
      {"x_1.db", "x", true, false},        {"x_.db", "x", false, false},     {"x_1a.db", "x", false, false},
      {"x_1.db", "x_1", false, false},     {"x_1_2.db", "x_1", true, false}, {"x_rf.ml", "x", false, true},
      {"x_vect.ml", "x", false, true},     {"x_rf.ml", "x_", false, false},  {"xx_1.db", "x", false, false},
      {"x_rf_rf.ml", "x_rf", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_host_staging_file(c.name, c.v), c.staging) << c.name << " " << c.v;
    EXPECT_EQ(is_host_model_file(c.name, c.v), c.model) << c.name << " " << c.v;
  }
}

TEST(HostPatterns, MatchHostsByForm) {
  struct Case {
    const char* pattern;
    const char* host;
    bool match;
  };
  const Case cases[] = {
      {"*", "anything", true},       {"a.com", "a.com", true},
      {"a.com", "A.COM:8443", true}, {"a.com", "a.com.", true},
      {"a.com", "www.a.com", false}, {"a.com", "a.com.cn", false},
      {".a.com", "a.com", true},     {".a.com", "x.a.com", true},
      {".a.com", "xa.com", false},   {".a.com", "x.a.com.cn", false},
      {"*.a.com", "x.a.com", true},  {"*.a.com", "y.x.a.com", true},
      {"*.a.com", "a.com", false},   {"*.a.com", ".a.com", false},
      {"[::1]", "[::1]:80", true},   {"a.com", "", false},
  };
  for (const auto& c : cases) EXPECT_EQ(host_pattern_match(c.pattern, c.host), c.match) << c.pattern << " " << c.host;
}

TEST(HostPatterns, NormalisedListKeepsFormsAndOrder) {
  LogCapture lc;
  EXPECT_EQ(idna_vhost_list_normalization("  B\xc3\xbc\x63her.DE ", lc.sink()), "xn--bcher-kva.de");
  EXPECT_EQ(idna_vhost_list_normalization("*.B\xc3\xbc\x63her.de", lc.sink()), "*.xn--bcher-kva.de");
  EXPECT_EQ(idna_vhost_list_normalization(".Example.com", lc.sink()), ".example.com");
  EXPECT_EQ(idna_vhost_list_normalization("*", lc.sink()), "*");

  EXPECT_EQ(vhosts_list_processing(Json::array({"A.com", " a.com", "", "*.b.com", 5, "a.com"}), lc.sink()),
            Json::array({"a.com", "*.b.com"}));
  EXPECT_EQ(vhosts_list_processing(Json("x.com, .y.com\nz.com"), lc.sink()), Json::array({"x.com", ".y.com", "z.com"}));
  EXPECT_TRUE(lc.take().empty());
  EXPECT_EQ(vhosts_list_processing(Json{{"a", 1}}, lc.sink()), Json::array());
  EXPECT_EQ(lc.take().size(), 1u);
}
