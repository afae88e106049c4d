#include "core/data/schemas.h"

#include <gtest/gtest.h>

#include "core/data/columns.h"
#include "core/data/iplist.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::core;
using tessel::testing::LogCapture;
using tessel::testing::TempDir;

namespace {
RequestRecord request(const std::string& vhost, const std::string& url, const std::string& args,
                      const std::string& body, const std::string& ip = "10.1.1.1") {
  RequestRecord r;
  r.id = "0123456789abcdef0123456789abcdef";
  r.vhost = vhost;
  r.ip = ip;
  r.url = url;
  r.args = args;
  r.body = body;
  return r;
}
}  // namespace

TEST(Columns, ListsNameRecordColumnsAndDetectionZones) {
  EXPECT_EQ(vexa_columns().size(), 22u);
  EXPECT_EQ(std::count(vexa_columns().begin(), vexa_columns().end(), "orig_zone_data"), 0);
  EXPECT_EQ(tessel_df_columns().back(), "mz_origin");
  EXPECT_EQ(bf_columns()[bf_columns().size() - 2], "flood_detect");
  EXPECT_EQ(bf_columns().back(), "zone_detect");
  for (const auto& z : bf_detection_zone())
    EXPECT_NE(std::find(bf_columns().begin(), bf_columns().end(), z), bf_columns().end()) << z;
  for (const char* c : {"vhost", "schema_name", "url", "method", "body"})
    EXPECT_NE(std::find(schemix_columns().begin(), schemix_columns().end(), c), schemix_columns().end()) << c;
  // no zone name is part of another, so a substring test on zone_detect is exact
  for (const auto& a : bf_detection_zone())
    for (const auto& b : bf_detection_zone()) {
      if (a != b) {
        EXPECT_EQ(b.find(a), std::string::npos) << a << " in " << b;
      }
    }
}

TEST(BfSchemas, RuleFileLines) {
  std::vector<std::string> errors;
  auto rules = parse_bf_rules(
      "# comment\n"
      "example.com/login body\n"
      "  */Wp-Login.php  \n"
      "\n"
      ".B\xc3\xbc\x63her.de/api/* args,body,args\r\n"
      "/only-path url\n"
      "host.org\n"
      "x.com/a bogus\n"
      "x.com/a body extra\n"
      "; another comment\n",
      false, &errors);
  EXPECT_EQ(rules, Json::parse(R"([
    {"vhost":"example.com","url":"/login","zones":["body"]},
    {"vhost":"*","url":"/wp-login.php","zones":["args","body"]},
    {"vhost":".xn--bcher-kva.de","url":"/api/*","zones":["args","body"]},
    {"vhost":"*","url":"/only-path","zones":["url"]},
    {"vhost":"host.org","url":"*","zones":["args","body"]}])"));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "line 8: unknown zone bogus");
  EXPECT_EQ(errors[1], "line 9: more than a target and a zone list");
  EXPECT_EQ(parse_bf_rules("a.com/f", true), Json::parse(R"([{"vhost":"a.com","url":"/f","zones":["url"]}])"));
}

TEST(BfSchemas, FilesAndTemplates) {
  LogCapture lc;
  TempDir dir;
  tessel::testing::write_file(dir.file("brute.txt"), "a.com/login body\nbad/x nozone\n");
  tessel::testing::write_file(dir.file("empty.txt"), "");
  const Json cur = Json::parse(R"([{"vhost":"keep.com","url":"/k"}])");

  auto brute = get_brute_dfs_schema(Json::object(), dir.file("brute.txt"), false, brute_df_tpl(), lc.sink());
  EXPECT_EQ(brute, Json::parse(R"([{"vhost":"a.com","url":"/login","zones":["body"]}])"));
  EXPECT_EQ(lc.take(), std::vector<std::string>{"warn/settings: An incorrect rule is set in file " +
                                                dir.file("brute.txt") + ": line 2: unknown zone nozone"});
  EXPECT_EQ(get_brute_dfs_schema(Json::object(), dir.file("empty.txt"), true, cur, lc.sink()), Json::array());
  // no file named, or a file that cannot be read: the current rules stay
  const Json kept = Json::parse(R"([{"vhost":"keep.com","url":"/k","zones":["url"]}])");
  EXPECT_EQ(get_brute_dfs_schema(Json::object(), "", true, cur, lc.sink()), kept);
  for (const auto& unreadable : {dir.file("missing.txt"), dir.str()}) {
    EXPECT_EQ(get_brute_dfs_schema(Json::object(), unreadable, true, cur, lc.sink()), kept) << unreadable;
    auto events = lc.take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind("error/os: An error occurred while loading file " + unreadable, 0), 0u) << events[0];
  }

  EXPECT_EQ(get_bf_dfs_schema(Json::object(), bf_df_tpl(), lc.sink()), bf_df_tpl());
  EXPECT_EQ(get_bf_dfs_schema(Json::object(), Json("x"), lc.sink()), bf_df_tpl());
  EXPECT_EQ(
      get_bf_dfs_schema(Json::object(), Json::parse(R"([1, {"url":"/x","zones":["ua"]}, {"url":"/y"}])"), lc.sink()),
      Json::parse(R"([{"vhost":"*","url":"/y","zones":["args","body"]}])"));
  EXPECT_EQ(lc.take().size(), 3u);
}

TEST(BfSchemas, CandidateRows) {
  const Json bf = bf_df_tpl();
  const Json brute = Json::parse(R"([{"vhost":"shop.com","url":"/cart/*","zones":["cookie","body"]}])");
  const Json flood = Json::parse(R"([{"vhost":".shop.com","url":"/comment*"},
                                     {"vhost":"*","url":"/wp-login.php","zones":["body"]}])");
  struct Case {
    RequestRecord r;
    std::vector<BfCandidate> rows;
  };
  auto with_cookie = request("shop.com", "/cart/add", "", "qty=1");
  with_cookie.cookie = "sid=1";
  const Case cases[] = {
      {request("a.com", "/user/login", "u=a&p=b", ""), {{0, "args"}}},
      {request("a.com", "/user/login", "u=a", "p=b"), {{0, "args,body"}}},
      {request("a.com", "/user/login", "", ""), {}},  // nothing to count
      {request("a.com", "/index.html", "u=a", "p=b"), {}},
      {request("A.COM:8080", "/signin", "", "p=1"), {{0, "body"}}},
      {with_cookie, {{0, "cookie,body"}}},
      {request("other.com", "/cart/add", "", "qty=1"), {}},
      {request("www.shop.com", "/comments", "", ""), {{1, "url"}}},
      {request("shop.com", "/comment", "x=1", ""), {{1, "url"}}},
      {request("a.com", "/wp-login.php", "", "log=a&pwd=b"), {{0, "body"}, {1, "body"}}},
  };
  BfMatcher m(bf, brute, flood);
  for (const auto& c : cases) {
    EXPECT_EQ(m.candidates(c.r), c.rows) << c.r.vhost << c.r.url;
    EXPECT_EQ(bf_candidates(c.r, bf, brute, flood), c.rows) << c.r.vhost << c.r.url;
  }

  RequestTable rows;
  m.append_rows(cases[9].r, rows);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].extras, Json::parse(R"({"flood_detect":0,"zone_detect":"body"})"));
  EXPECT_EQ(rows[1].extras, Json::parse(R"({"flood_detect":1,"zone_detect":"body"})"));
  EXPECT_EQ(rows[1].body, "log=a&pwd=b");
}

TEST(BfSchemas, WhiteListsAndEmptySchemas) {
  const Json flood = Json::parse(R"([{"url":"*"}])");
  BfMatcher m(bf_df_tpl(), Json::array(), flood, Json::array({"10.0.0.0/8", "2001:db8::1", "junk"}),
              Json::array({".trusted.org"}));
  EXPECT_TRUE(m.candidates(request("a.com", "/login", "p=1", "", "10.9.9.9")).empty());
  EXPECT_TRUE(m.candidates(request("a.com", "/login", "p=1", "", "2001:DB8::1")).empty());
  EXPECT_TRUE(m.candidates(request("x.trusted.org", "/login", "p=1", "", "1.2.3.4")).empty());
  EXPECT_EQ(m.candidates(request("a.com", "/login", "p=1", "", "11.0.0.1")),
            (std::vector<BfCandidate>{{0, "args"}, {1, "url"}}));
  EXPECT_TRUE(
      BfMatcher(Json::array(), Json::array(), Json::array()).candidates(request("a.com", "/login", "p=1", "")).empty());
  EXPECT_TRUE(BfMatcher(Json("bad"), Json(), Json::object()).candidates(request("a.com", "/login", "p", "")).empty());
}

TEST(IpLists, AddressesAndRanges) {
  std::vector<std::string> rejected;
  IpList l(Json::array({"192.168.1.0/24", "10.0.0.1", "2001:db8::/32", "::ffff:172.16.0.0/108", "1.2.3.4/33", "x", 7,
                        "10.0.0.0/8/1"}),
           &rejected);
  EXPECT_EQ(rejected, (std::vector<std::string>{"1.2.3.4/33", "x", "7", "10.0.0.0/8/1"}));
  struct Case {
    const char* addr;
    bool in;
  };
  const Case cases[] = {{"192.168.1.77", true},
                        {"192.168.2.1", false},
                        {"10.0.0.1", true},
                        {" 10.0.0.1 ", true},
                        {"10.0.0.2", false},
                        {"2001:db8:ffff::1", true},
                        {"2001:db9::1", false},
                        {"::ffff:192.168.1.5", true},
                        {"172.31.255.255", true},
                        {"172.32.0.0", false},
                        {"", false},
                        {"192.168.1.0/24", false}};
  for (const auto& c : cases) EXPECT_EQ(l.contains(c.addr), c.in) << c.addr;
  EXPECT_FALSE(IpList().contains("1.1.1.1"));
}
