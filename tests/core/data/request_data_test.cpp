#include "core/data/request_data.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "shared/pyvalues/base64.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

namespace tessel::core {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class RequestData : public ::testing::Test {
 protected:
  std::string norm(const char* zone, const std::string& data, const std::string& boundary = "") {
    return req_data_normalization(zone, data, boundary, wl_, sink_);
  }
  B64Whitelist wl_;
  testing::LogCapture lc_;
  EventQueue& q_ec_ = lc_.q_ec;
  LogSink sink_ = lc_.sink();
};

TEST_F(RequestData, ZoneForms) {
  const std::string b64 = base64_encode("<script>alert(1)</script>");
  struct Case {
    const char* zone;
    std::string in, out;
  };
  const Case cases[] = {
      {"url", "/A%20b/c.php?x=1#f", "/A b/c.php"},
      {"url", "https://Shop.example:8080/p/%41?q", "/p/A"},
      {"url", "/%ff", "/\xef\xbf\xbd"},
      {"args", "?a=1&&b=%3Cx%3E&c&d=1+2", "a=1\r\nb=<x>\r\nc\r\nd=1+2"},
      {"args", "token=" + b64, "token=<script>alert(1)</script>"},
      {"args", "word=abcdefghijkl", "word=abcdefghijkl"},  // decodes to no text
      {"cookie", " a=1 ;b=%2F; ;c", "a=1\r\nb=/\r\nc"},
      {"other_headers", "Host: x\r\n\r\n  Accept: */*  \r\n", "Host: x\r\nAccept: */*"},
      {"ua", "  Mozilla/5.0  ", "Mozilla/5.0"},
      {"referer", " https://a/%7Ex ", "https://a/~x"},
      {"body", "a=1&b=two", "a=1\r\nb=two"},
      {"body", "line one\r\n\r\n line two \n", "line one\r\nline two"},
      {"body", "{\"a\": {\"b\": [1, \"x\"]}, \"c\": null}", "a[b][]=1\r\na[b][]=x\r\nc=null"},
      {"body", "[{\"k\": true}]", "k=true"},
      {"body", "", ""},
      {"zone-x", "a+b  c", "a+b  c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + ": " + c.in);
    EXPECT_EQ(norm(c.zone, c.in), c.out);
  }
}

TEST_F(RequestData, MultipartBodiesAndTheirBoundary) {
  const std::string headers = "Host: x\r\nContent-Type: multipart/form-data; boundary=\"----b1\"";
  EXPECT_EQ(get_boundary("x", headers, sink_), "----b1");
  EXPECT_EQ(get_boundary("x", "content-type: multipart/mixed;boundary=zz;x=1", sink_), "zz");
  EXPECT_EQ(get_boundary("x", "Content-Type: text/plain; boundary=zz", sink_), "");
  EXPECT_EQ(get_boundary("x", "Content-Type: multipart/form-data\r\nContent-Type: text/plain", sink_), "");
  const std::string body =
      "------b1\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\nalice\r\n"
      "------b1\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\n"
      "line1\r\nline2\r\n------b1--\r\n";
  EXPECT_EQ(norm("body", body, "----b1"),
            "content-disposition: form-data; name=\"user\" alice\r\n"
            "content-disposition: form-data; name=\"f\"; filename=\"a.txt\" line1  line2");
  // No delimiter in the body: its lines.
  EXPECT_EQ(norm("body", "a\nb", "zz"), "a\r\nb");
}

TEST_F(RequestData, WhiteListedNamesKeepTheirBase64) {
  testing::TempDir dir;
  testing::write_file(dir.file("b64wl.db"), "[\"token\", \"sig\", 3]");
  wl_ = b64wl_load(dir.file("b64wl.db"), sink_);
  EXPECT_THAT(wl_.names, ElementsAre("sig", "token"));
  const std::string b64 = base64_encode("hello world, hello");
  EXPECT_EQ(norm("args", "token=" + b64 + "&other=" + b64), "token=" + b64 + "\r\nother=hello world, hello");
  // A listed value stays encoded under any name.
  const std::string listed = base64_encode("listed value!");
  testing::write_file(dir.file("b64wl.db"), "[\"" + listed + "\"]");
  wl_ = b64wl_load(dir.file("b64wl.db"), sink_);
  EXPECT_EQ(norm("cookie", "a=" + listed), "a=" + listed);
  wl_ = b64wl_load(dir.file("none.db"), sink_);
  EXPECT_EQ(norm("cookie", "a=" + listed), "a=listed value!");
  testing::write_file(dir.file("b64wl.db"), "[\"token\", \"sig\", 3]");
  wl_ = b64wl_load(dir.file("b64wl.db"), sink_);
  EXPECT_EQ(norm("body", "{\"sig\": \"" + b64 + "\", \"x\": \"" + b64 + "\"}"),
            "sig=" + b64 + "\r\nx=hello world, hello");
  EXPECT_THAT(testing::event_lines(q_ec_), ::testing::IsEmpty());

  // A missing file is an empty list, silently; a broken one is logged.
  EXPECT_TRUE(b64wl_load(dir.file("none.db"), sink_).names.empty());
  EXPECT_THAT(testing::event_lines(q_ec_), ::testing::IsEmpty());
  testing::write_file(dir.file("bad.db"), "{not json");
  EXPECT_TRUE(b64wl_load(dir.file("bad.db"), sink_).names.empty());
  EXPECT_THAT(testing::event_lines(q_ec_),
              ElementsAre(HasSubstr("error os An error occurred while loading base64 white-list")));
}

TEST_F(RequestData, DecodeAndJsonTests) {
  EXPECT_EQ(req_data_decode("/a%2520b", sink_), "/a b");
  EXPECT_EQ(req_data_decode("/a%25252541", sink_), "/a%41");  // three rounds at most
  EXPECT_EQ(req_data_decode("/a+b%zz", sink_), "/a+b%zz");
  EXPECT_EQ(req_data_decode("%c3%a9%ff", sink_), "\xc3\xa9\xef\xbf\xbd");
  for (const char* yes : {"{}", " [1, 2]\n", "{\"a\": {\"b\": null}}"}) EXPECT_TRUE(is_json(yes)) << yes;
  for (const char* no : {"", "1", "\"x\"", "true", "{", "{\"a\": 1} x", "a=1"}) EXPECT_FALSE(is_json(no)) << no;
}

TEST_F(RequestData, DeeplyNestedJsonBodiesAreText) {
  auto nested = [](int n, const std::string& leaf) {
    std::string t;
    for (int i = 0; i < n; ++i) t += "{\"a\": ";
    return t + leaf + std::string(n, '}');
  };
  // Beyond the flattened levels the rest is one value.
  EXPECT_EQ(
      norm("body", nested(34, "\"[x]\"")), std::string("a") + [] {
        std::string k;
        for (int i = 1; i < 32; ++i) k += "[a]";
        return k;
      }() + "={\"a\":{\"a\":\"[x]\"}}");
  // Far deeper than any reader goes: the text's one line, no exhausted stack.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  ASSERT_TRUE(is_json(deep));
  EXPECT_EQ(norm("body", deep), deep);
  const std::string deep_object = nested(200000, "1");
  EXPECT_EQ(norm("body", deep_object), deep_object);
}

}  // namespace
}  // namespace tessel::core
