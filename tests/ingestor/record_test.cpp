#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "core/data/request_data.h"
#include "ingestor/ingestor.h"
#include "shared/pyvalues/base64.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

namespace tessel::ingestor {
namespace {

using ::testing::ElementsAre;
using testing::event_lines;
using ::testing::HasSubstr;
using testing::waf_message;
using testing::WafRequest;

class RecordTest : public ::testing::Test {
 protected:
  std::optional<RequestRecord> build(const Json& msg, bool debug = false) {
    return request_record_from_message(msg, wl_, LogSink{sink_.q_ec, sink_.log, debug});
  }
  // The record, or the text of the failure that skips the message.
  std::string failure(const Json& msg) {
    try {
      build(msg);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
  core::B64Whitelist wl_;
  testing::LogCapture lc_;
  EventQueue& q_ec_ = lc_.q_ec;
  LogSink sink_ = lc_.sink();
};

TEST_F(RecordTest, EveryFieldOfTheRecord) {
  Json msg = waf_message();
  msg["blocked"] = true;
  msg["timestamp"] = 1700000000.9;
  msg["status_code"] = " 404 ";
  msg["lm"] = Json::array({1, "x"});
  msg["mz"] = "ARGS";
  auto r = build(msg);
  ASSERT_TRUE(r);
  EXPECT_THAT(r->id, ::testing::MatchesRegex("[0-9a-f]{32}"));
  EXPECT_EQ(r->bt, 1);
  EXPECT_EQ(r->lm, Json::array({1, "x"}));
  EXPECT_EQ(r->timestamp, 1700000000);
  EXPECT_EQ(r->request_id, "r-1");
  EXPECT_TRUE(r->request_type.is_null());
  EXPECT_EQ(r->mz, "ARGS");
  EXPECT_EQ(r->ip, "192.0.2.10");
  EXPECT_EQ(r->vhost, "shop.example");
  EXPECT_EQ(r->port, 443);
  EXPECT_EQ(r->method, "POST");
  EXPECT_EQ(r->url, "/login.php");
  EXPECT_EQ(r->args, "user=alice\r\nlang=en");
  EXPECT_EQ(r->cookie, "sid=abc\r\ntheme=dark");
  EXPECT_EQ(r->ua, "Mozilla/5.0 (X11)");
  EXPECT_EQ(r->referer, "https://shop.example/start");
  EXPECT_EQ(r->other_headers, "Host: shop.example\r\nContent-Type: application/x-www-form-urlencoded");
  EXPECT_EQ(r->body, "user=alice\r\npass=secret");
  EXPECT_EQ(r->cc, "");
  EXPECT_EQ(r->content_type, "application/x-www-form-urlencoded");
  EXPECT_EQ(r->jbody, "");
  EXPECT_EQ(r->status_code, 404);
  ASSERT_EQ(r->orig_zone_data.size(), 7u);
  const char* zones[] = {"url", "args", "cookie", "ua", "referer", "other_headers", "body"};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(r->orig_zone_data[i].first, zones[i]);
    EXPECT_EQ(r->orig_zone_data[i].second, msg[zones[i]]);
  }
  EXPECT_THAT(event_lines(q_ec_), ::testing::IsEmpty());

  // The row form keeps the column names and order of the record.
  const Json row = record_to_json(*r);
  std::vector<std::string> cols;
  for (const auto& [k, v] : row.items()) cols.push_back(k);
  EXPECT_EQ(cols, request_record_columns());
}

TEST_F(RecordTest, IntegerConversionsAndThePortRule) {
  struct Case {
    const char* field;
    Json value;  // null-with-absent below means "remove the field"
    bool remove;
    std::string failure;    // "" when the record is built
    std::int64_t expected;  // the converted value when built
    std::string logged;     // the one expected log line, or ""
  };
  const Case cases[] = {
      {"blocked", Json(false), false, "", 0, ""},
      {"timestamp", Json(-0.5), false, "", 0, ""},
      {"status_code", Json("+301"), false, "", 301, ""},
      {"port", Json(" 8080\n"), false, "", 8080, ""},
      {"port", Json(), true, "", 0, "error dyn An incorrect port has been received from Corvane WAF: None"},
      {"port", Json(0), false, "", 0, "error dyn An incorrect port has been received from Corvane WAF: 0"},
      {"port", Json("80a"), false, "invalid literal for int() with base 10: '80a'", 0, ""},
      {"port", Json(), false, "int() argument must be", 0, ""},
      {"blocked", Json::array(), false, "int() argument must be", 0, ""},
      {"timestamp", Json("1.5"), false, "invalid literal for int()", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " = " + c.value.dump());
    Json msg = waf_message();
    if (c.remove) {
      msg.erase(c.field);
    } else {
      msg[c.field] = c.value;
    }
    if (!c.failure.empty()) {
      EXPECT_THAT(failure(msg), HasSubstr(c.failure));
      continue;
    }
    auto r = build(msg);
    ASSERT_TRUE(r);
    const std::string f = c.field;
    const std::int64_t got = f == "blocked"       ? r->bt
                             : f == "timestamp"   ? r->timestamp
                             : f == "status_code" ? r->status_code
                                                  : r->port;
    EXPECT_EQ(got, c.expected);
    auto lines = event_lines(q_ec_);
    if (c.logged.empty()) {
      EXPECT_THAT(lines, ::testing::IsEmpty());
    } else {
      EXPECT_THAT(lines, ElementsAre(c.logged));
    }
  }
}

TEST_F(RecordTest, EmptyAndMissingFieldsInCheckOrder) {
  struct Case {
    std::vector<std::pair<std::string, Json>> set;
    std::vector<std::string> remove;
    std::string logged;   // skipped with this line
    std::string failure;  // or failed with this text
  };
  const std::string prefix = "error dyn An error occurred while processing data from Corvane WAF: ";
  const Case cases[] = {
      {{{"request_id", 0}}, {}, prefix + "request_id is empty", ""},
      {{{"request_id", ""}, {"vhost", ""}, {"ip", ""}}, {}, prefix + "request_id is empty", ""},
      {{{"vhost", Json::object()}, {"ip", Json()}}, {}, prefix + "vhost is empty (", ""},
      {{{"ip", false}}, {}, prefix + "ip is empty", ""},
      {{{"request_id", "0"}}, {"request_id"}, "", "'request_id'"},
      {{}, {"lm"}, "", "'lm'"},
      {{}, {"cookie"}, "", "'cookie'"},
      {{{"ip", ""}}, {"method"}, prefix + "ip is empty", ""},
  };
  for (const auto& c : cases) {
    Json msg = waf_message();
    for (const auto& [k, v] : c.set) msg[k] = v;
    for (const auto& k : c.remove) msg.erase(k);
    SCOPED_TRACE(msg.dump());
    if (!c.failure.empty()) {
      EXPECT_EQ(failure(msg), c.failure);
      EXPECT_THAT(event_lines(q_ec_), ::testing::IsEmpty());
      continue;
    }
    EXPECT_FALSE(build(msg));
    auto lines = event_lines(q_ec_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::StartsWith(c.logged));
  }
}

TEST_F(RecordTest, EmptyVhostLogsTheMessageWithoutItsZones) {
  Json msg = waf_message();
  msg["vhost"] = "";
  EXPECT_FALSE(build(msg));
  auto lines = event_lines(q_ec_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("'request_id': 'r-1', 'vhost': '', 'ip': '192.0.2.10'"));
  EXPECT_THAT(lines[0], HasSubstr("'url': "));
  for (const char* zone : {"'args'", "'body'", "'cookie'", "'ua'", "'referer'", "'other_headers'"}) {
    EXPECT_THAT(lines[0], ::testing::Not(HasSubstr(zone)));
  }
}

TEST_F(RecordTest, WebSocketRequestsKeepOnlyUrlAndBody) {
  Json msg = waf_message();
  msg["request_type"] = "ws";
  auto r = build(msg);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->request_type, "ws");
  EXPECT_EQ(r->url, "/login.php");
  EXPECT_EQ(r->body, "user=alice\r\npass=secret");
  for (const std::string* z : {&r->args, &r->cookie, &r->ua, &r->referer, &r->other_headers}) EXPECT_EQ(*z, "");
  EXPECT_EQ(r->content_type, "");
  for (const auto& [z, v] : r->orig_zone_data) EXPECT_EQ(v, msg[z]);

  msg["request_type"] = "WS";
  r = build(msg);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->args, "user=alice\r\nlang=en");
}

TEST_F(RecordTest, UrlIsLowerCasedAsTextLowerCases) {
  const std::pair<const char*, const char*> cases[] = {
      {"/Shop/Cart.JSP?ID=1", "/shop/cart.jsp"},
      {"/Stra%C3%9Fe/%C3%84%C3%96", "/stra\u00dfe/\u00e4\u00f6"},
      {"/\u00c4BC/X", "/\u00e4bc/x"},
      {"/", "/"},
  };
  for (const auto& [url, expected] : cases) {
    SCOPED_TRACE(url);
    WafRequest w;
    w.url = url;
    auto r = build(waf_message(w));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->url, expected);
  }
}

// Messages built one after another on one thread: nothing of a message's
// zones reaches the records of the next.
TEST_F(RecordTest, EachRecordHoldsOnlyItsOwnMessage) {
  WafRequest big;
  big.url = "/" + std::string(3000, 'a');
  big.args = "q=" + std::string(5000, 'b');
  big.cookie = "sid=" + std::string(400000, 'c');  // more than a buffer keeps
  big.body = std::string(2000, 'd');
  const WafRequest empty{.url = "", .args = "", .cookie = "", .ua = "", .referer = "", .other_headers = "", .body = ""};
  Json ws = waf_message(big);
  ws["request_type"] = "ws";
  const Json msgs[] = {waf_message(big), waf_message(empty), waf_message(big), ws, waf_message()};
  for (const Json& msg : msgs) {
    auto r = build(msg);
    ASSERT_TRUE(r);
    core::B64Whitelist wl;
    auto norm = [&](const char* zone) {
      if (r->request_type == "ws" && std::string(zone) != "url" && std::string(zone) != "body") return std::string();
      return core::req_data_normalization(zone, base64_decode(msg[zone].get<std::string>()), "", wl, sink_);
    };
    EXPECT_EQ(r->args, norm("args"));
    EXPECT_EQ(r->cookie, norm("cookie"));
    EXPECT_EQ(r->ua, norm("ua"));
    EXPECT_EQ(r->referer, norm("referer"));
    EXPECT_EQ(r->other_headers, norm("other_headers"));
    EXPECT_EQ(r->body, norm("body"));
    EXPECT_EQ(r->url.size(), norm("url").size());
    for (const auto& [z, v] : r->orig_zone_data) EXPECT_EQ(v, msg[z]);
  }
}

TEST_F(RecordTest, ContentTypeFromTheLastMatchingHeaderLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"Content-Type: Multipart/Form-Data; boundary=x", "multipart/form-data"},
      {"content-type:text/html;charset=utf-8", "text/html"},
      {"content-type:", ""},
      {"content-type: a:b", "a"},
      {"Content-Type : text/html", ""},
      {"Content-Type: text/plain\r\nX-A: 1\r\ncontent-type: application/json", "application/json"},
      {"X-Content-Type: text/plain", ""},
      {"  CONTENT-TYPE:  Text/XML ; q=1  ", "text/xml"},
  };
  for (const auto& [headers, expected] : cases) {
    SCOPED_TRACE(headers);
    WafRequest w;
    w.other_headers = headers;
    w.body = "";
    auto r = build(waf_message(w));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->content_type, expected);
  }
}

TEST_F(RecordTest, JsonBodyKeepsItsTextInJbody) {
  WafRequest w;
  w.other_headers = "Content-Type: application/json";
  w.body = "{\"user\": \"alice\", \"tags\": [\"a\", \"b\"], \"n\": {\"x\": 1}}";
  auto r = build(waf_message(w));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->jbody, w.body);
  EXPECT_EQ(r->body, "user=alice\r\ntags[]=a\r\ntags[]=b\r\nn[x]=1");

  w.body = "[1, 2";
  r = build(waf_message(w));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->jbody, "");
}

TEST_F(RecordTest, IdenticalMessagesGetTheirOwnIds) {
  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) ids.insert(build(waf_message())->id);
  EXPECT_EQ(ids.size(), 100u);
}

TEST_F(RecordTest, UndecodableZonesFailTheMessage) {
  const std::pair<Json, std::string> cases[] = {
      {Json("YWJjZA"), "Incorrect padding"},
      {Json("YWJjZ"), "cannot be 1 more than a multiple of 4"},
      {Json("\xc3\xa9"), "only ASCII characters"},
      {Json(42), "not 'int'"},
      {Json(), "not 'NoneType'"},
  };
  for (const auto& [value, text] : cases) {
    SCOPED_TRACE(value.dump());
    Json msg = waf_message();
    msg["cookie"] = value;
    EXPECT_THAT(failure(msg), HasSubstr(text));
  }
  EXPECT_THAT(failure(Json::array()), HasSubstr("'list' object"));
  // Bytes that are not UTF-8 are replaced, not refused.
  Json msg = waf_message();
  msg["ua"] = base64_encode(
      "a\xff"
      "b");
  EXPECT_EQ(build(msg)->ua,
            "a\xef\xbf\xbd"
            "b");
}

TEST_F(RecordTest, LargeBodyWarningOnlyWithDebug) {
  for (std::size_t size : {std::size_t(10485759), std::size_t(10485760)}) {
    WafRequest w;
    w.other_headers = "Content-Type: text/plain";
    w.body = std::string(size, 'a');
    const Json msg = waf_message(w);
    auto r = build(msg, false);
    ASSERT_TRUE(r);
    EXPECT_THAT(event_lines(q_ec_), ::testing::IsEmpty());
    r = build(msg, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.size(), size);
    auto lines = event_lines(q_ec_);
    if (size < 10485760) {
      EXPECT_THAT(lines, ::testing::IsEmpty());
    } else {
      EXPECT_THAT(lines,
                  ElementsAre("warn dyn Request " + r->id +
                              " with large body data (10MB) has been received: shop.example/login.php (text/plain)"));
    }
  }
}

class NormalizationTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::shared_ptr<SharedNamespace> nsi_ = testing::intake_nsi(dir_.str());
  std::shared_ptr<LocalQueue> q_local_ = std::make_shared<LocalQueue>();
  std::shared_ptr<EventQueue> q_ec_ = std::make_shared<EventQueue>();
  LogSink sink_{q_ec_, std::make_shared<Logger>("intake-test"), false};
};

TEST_F(NormalizationTest, OneTablePerBatchInBatchOrderSkippingBadMessages) {
  RequestMessages batch;
  for (int i = 0; i < 5; ++i) {
    WafRequest w;
    w.request_id = "r" + std::to_string(i);
    batch.push_back(waf_message(w));
  }
  batch[1]["port"] = "x";
  batch[3] = Json("not a mapping");
  vexa_data_normalization(nsi_, batch, {q_local_, {.ddos = true, .bf = false}, {"shop.example"}}, sink_);
  auto items = q_local_->drain();
  ASSERT_EQ(items.size(), 1u);
  std::vector<std::string> ids;
  for (const auto& r : items[0].table) ids.push_back(r.request_id.get<std::string>());
  EXPECT_THAT(ids, ElementsAre("r0", "r2", "r4"));
  EXPECT_EQ(items[0].ddos_rows, (std::vector<std::size_t>{0, 1, 2}));
  auto lines = event_lines(*q_ec_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0],
              ::testing::StartsWith(
                  "error rabbitmq An error occurred while processing the data from RabbitMQ: invalid literal"));
  EXPECT_THAT(lines[1], HasSubstr("'str' object has no attribute 'get'"));
}

TEST_F(NormalizationTest, NothingReachesTheRouterWithoutRecords) {
  vexa_data_normalization(nsi_, {}, {q_local_, {.ddos = true, .bf = true}, {}}, sink_);
  Json bad = waf_message();
  bad["ip"] = "";
  vexa_data_normalization(nsi_, {bad}, {q_local_, {.ddos = true, .bf = true}, {}}, sink_);
  EXPECT_EQ(q_local_->qsize(), 0u);
  EXPECT_EQ(event_lines(*q_ec_).size(), 1u);  // the empty ip only

  // A namespace without the attributes: the whole call fails, logged once.
  vexa_data_normalization(std::make_shared<SharedNamespace>(), {waf_message()},
                          {q_local_, {.ddos = true, .bf = true}, {}}, sink_);
  EXPECT_THAT(event_lines(*q_ec_),
              ElementsAre(HasSubstr("error os An error occurred in vexa_data_normalization: 'Namespace' object has no "
                                    "attribute 'tessel_b64wl_db'")));
  EXPECT_EQ(q_local_->qsize(), 0u);
}

}  // namespace
}  // namespace tessel::ingestor
