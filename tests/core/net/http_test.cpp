// The web session against loopback servers: what reaches the server, what
// comes back, and the error kinds callers sort into "network" and "api".
#include "core/net/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/http_server.h"

namespace {

using tessel::Json;
using tessel::core::Fields;
using tessel::core::HttpError;
using tessel::core::init_session;
using tessel::core::is_network_error;
using tessel::core::RequestBody;
using tessel::core::RequestOptions;
using tessel::testing::CannedResponse;
using tessel::testing::LoopbackHttpServer;

constexpr const char* kProxyVars[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                      "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

// The tests talk to 127.0.0.1 only: no proxy from the machine's environment.
class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : kProxyVars)
      if (const char* old = std::getenv(v)) saved_.emplace_back(v, old);
    for (const char* v : kProxyVars) unsetenv(v);
  }
  void TearDown() override {
    for (const char* v : kProxyVars) unsetenv(v);
    for (const auto& [k, v] : saved_) setenv(k.c_str(), v.c_str(), 1);
  }

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

// A TCP socket bound to a free port of 127.0.0.1; `a` gets its address.
int bound_loopback(sockaddr_in& a) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  a = sockaddr_in{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return fd;
}

// A TCP port on 127.0.0.1 that nothing listens on.
int closed_port() {
  sockaddr_in a{};
  int fd = bound_loopback(a);
  close(fd);
  return ntohs(a.sin_port);
}

// A listening socket on a free port of 127.0.0.1; `a` gets its address.
int listening_loopback(int backlog, sockaddr_in& a) {
  int fd = bound_loopback(a);
  if (fd >= 0 && listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

struct Failure {
  std::string kind, what;
};

// The HttpError that `f` throws, after checking that its text starts with
// its kind and that is_network_error agrees with `network`.
template <typename F>
Failure failure_of(F&& f, bool network) {
  try {
    f();
  } catch (const HttpError& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(e.kind() + ": ", 0), 0u) << what;
    EXPECT_EQ(is_network_error(what), network) << what;
    return {e.kind(), what};
  }
  ADD_FAILURE() << "no HttpError";
  return {};
}

template <typename F>
std::string failure_kind(F&& f, bool network) {
  return failure_of(std::forward<F>(f), network).kind;
}

TEST_F(HttpSessionTest, SendsBodiesHeadersAndCookiesAsRequestsDid) {
  LoopbackHttpServer server;
  server.fallback({200, "{}", "application/json"});
  struct Case {
    const char* name;
    RequestBody body;
    RequestOptions options;
    std::string body_sent;
    Fields headers;                   // expected, case-insensitive names
    std::vector<std::string> absent;  // headers that must not be sent
  };
  std::string big(3 << 20, 'x');
  const std::vector<Case> cases = {
      {"raw text, caller's user agent",
       RequestBody::raw("{\"key\": \"k\"}"),
       {{{"User-Agent", "Corvane AI TESSEL Service (u1)"}}},
       "{\"key\": \"k\"}",
       {{"User-Agent", "Corvane AI TESSEL Service (u1)"},
        {"Accept-Encoding", "gzip, deflate"},
        {"Accept", "*/*"},
        {"Connection", "keep-alive"},
        {"Content-Length", "12"}},
       {"Content-Type", "Expect", "Cookie"}},
      {"form fields in order",
       RequestBody::form({{"key", "k y"}, {"vhost", "\xc3\xa9.example"}, {"progress", "5"}, {"a&b", "c=d+"}}),
       {},
       "key=k+y&vhost=%C3%A9.example&progress=5&a%26b=c%3Dd%2B",
       {{"Content-Type", "application/x-www-form-urlencoded"}, {"User-Agent", "python-requests/2.28.1"}},
       {"Expect"}},
      {"json body",
       RequestBody::json(Json::parse(R"({"a": 1, "b": "\u00e9", "c": [1.5, null, true]})")),
       {},
       "{\"a\": 1, \"b\": \"\\u00e9\", \"c\": [1.5, null, true]}",
       {{"Content-Type", "application/json"}},
       {"Expect"}},
      {"caller's content type and a header name in other case",
       RequestBody::form({{"a", "1"}}),
       {{{"content-type", "text/x"}, {"accept", "text/plain"}}},
       "a=1",
       {{"Content-Type", "text/x"}, {"Accept", "text/plain"}},
       {}},
      {"cookies",
       RequestBody::raw("x"),
       {{}, {}, {{"key", "v a;l"}, {"k2", "x"}}},
       "x",
       {{"Cookie", "key=v a;l; k2=x"}},
       {"Content-Type"}},
      {"no body", RequestBody(), {}, "", {{"Content-Length", "0"}}, {"Content-Type", "Expect"}},
      {"large body, no 100-continue", RequestBody::raw(big), {}, big, {}, {"Expect", "Content-Type"}},
  };
  auto session = init_session();  // one session for all: the handle is reused
  for (const auto& c : cases) {
    server.clear_requests();
    const auto reply = session.post(server.url("/vx-api/attack?x=1"), c.body, c.options);
    EXPECT_EQ(reply.status_code, 200) << c.name;
    const auto got = server.requests();
    ASSERT_EQ(got.size(), 1u) << c.name;
    EXPECT_EQ(got[0].method, "POST") << c.name;
    EXPECT_EQ(got[0].path, "/vx-api/attack") << c.name;
    EXPECT_EQ(got[0].query, "x=1") << c.name;
    EXPECT_TRUE(got[0].body == c.body_sent) << c.name << ": " << got[0].body.substr(0, 200);
    for (const auto& [k, v] : c.headers) EXPECT_EQ(got[0].header(k), v) << c.name << ": " << k;
    for (const auto& k : c.absent) EXPECT_FALSE(got[0].has_header(k)) << c.name << ": " << k;
  }
}

TEST_F(HttpSessionTest, GetWithCookiesAndReplyForms) {
  LoopbackHttpServer server;
  server.route("GET", "/data", CannedResponse{201, "{\"status\": \"success\", \"n\": 1.0}", "application/json"});
  server.route("GET", "/latin", CannedResponse{200, "caf\xe9", "text/plain"});
  auto session = init_session();
  const auto reply = session.get(server.url("/data"), {{}, {}, {{"key", "secret"}}});
  EXPECT_EQ(reply.status_code, 201);
  EXPECT_EQ(reply.str(), "<Response [201]>");
  EXPECT_EQ(reply.content, "{\"status\": \"success\", \"n\": 1.0}");
  EXPECT_EQ(reply.json()["status"], "success");
  EXPECT_TRUE(reply.json()["n"].is_number_float());
  EXPECT_EQ(reply.header("content-type"), "application/json");
  const auto got = server.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].method, "GET");
  EXPECT_EQ(got[0].header("Cookie"), "key=secret");
  EXPECT_FALSE(got[0].has_header("Content-Length"));
  EXPECT_FALSE(got[0].has_header("Content-Type"));

  const auto latin = session.get(server.url("/latin"));
  EXPECT_EQ(latin.text(), "caf\xc3\xa9");  // text/* without charset reads as ISO-8859-1
  const auto missing = session.get(server.url("/none"));
  EXPECT_EQ(missing.status_code, 404);
  EXPECT_EQ(missing.str(), "<Response [404]>");
}

TEST_F(HttpSessionTest, UsesTheProxyOfTheMapping) {
  // Servers outlive the session: a server waits for kept-alive connections.
  LoopbackHttpServer proxy, direct;
  proxy.fallback({200, "via proxy", "text/plain"});
  direct.fallback({200, "direct", "text/plain"});
  const std::string base = "http://127.0.0.1:" + std::to_string(closed_port());
  const std::string target = base + "/p?q=1";
  auto session = init_session();
  const auto reply =
      session.post(target, RequestBody::raw("x"), {{}, {{"http", proxy.url("")}, {"https", proxy.url("")}}});
  EXPECT_EQ(reply.content, "via proxy");
  auto got = proxy.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].path, base + "/p");  // absolute form
  EXPECT_EQ(got[0].query, "q=1");
  EXPECT_EQ(got[0].body, "x");

  // With no entry for the scheme, the environment's proxy applies; an empty
  // entry means a direct connection even then.
  setenv("http_proxy", proxy.url("").c_str(), 1);
  proxy.clear_requests();
  EXPECT_EQ(session.get(target, {}).content, "via proxy");
  EXPECT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(session.get(direct.url("/d"), {{}, {{"http", ""}}}).content, "direct");
  EXPECT_EQ(proxy.requests().size(), 1u);
}

TEST_F(HttpSessionTest, ConnectionFailuresAreNetworkErrors) {
  const std::string dead = "http://127.0.0.1:" + std::to_string(closed_port());
  LoopbackHttpServer server;
  auto session = init_session();
  const auto refused = failure_of([&] { session.post(dead + "/x?a=1", RequestBody::raw("x"), {}); }, true);
  EXPECT_EQ(refused.kind, "ConnectionError");
  EXPECT_NE(refused.what.find("Max retries exceeded with url: /x?a=1 (Caused by NewConnectionError("),
            std::string::npos)
      << refused.what;
  EXPECT_NE(refused.what.find("Connection refused"), std::string::npos) << refused.what;

  // A name that never resolves (a resolver that cannot be reached times out
  // instead: a network error all the same).
  RequestOptions quick;
  quick.timeout = 5;
  const auto unresolved = failure_of([&] { session.get("http://nowhere.invalid/x", quick); }, true);
  EXPECT_TRUE(unresolved.kind == "ConnectionError" || unresolved.kind == "ConnectTimeout") << unresolved.what;

  EXPECT_EQ(failure_kind([&] { session.get(server.url("/x"), {{}, {{"http", dead}}}); }, true), "ProxyError");
  RequestOptions unknown_proxy = quick;
  unknown_proxy.proxies = {{"http", "http://nowhere.invalid:3128"}};
  const auto unresolved_proxy = failure_of([&] { session.get(server.url("/x"), unknown_proxy); }, true);
  EXPECT_TRUE(unresolved_proxy.kind == "ProxyError" || unresolved_proxy.kind == "ConnectTimeout")
      << unresolved_proxy.what;
  EXPECT_EQ(failure_kind([&] { session.get("https://127.0.0.1:1/x", {{}, {{"https", dead}}}); }, true), "ProxyError");
  // The loopback server answers CONNECT with an error status.
  EXPECT_EQ(failure_kind(
                [&] {
                  session.get("https://127.0.0.1:1/x", {{}, {{"https", server.url("")}}});
                },
                true),
            "ProxyError");
}

// A listening socket whose accept queue is full drops further SYNs, so a
// connection attempt stays pending until the connect time-out.
TEST_F(HttpSessionTest, ConnectTimeoutIsANetworkError) {
  sockaddr_in a{};
  int lfd = listening_loopback(0, a);
  ASSERT_GE(lfd, 0);
  std::vector<int> fill;
  bool pending = false;
  for (int i = 0; i < 8 && !pending; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    fill.push_back(fd);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd p{fd, POLLOUT, 0};
    pending = poll(&p, 1, 200) == 0;
  }
  if (!pending) {
    for (int fd : fill) close(fd);
    close(lfd);
    GTEST_SKIP() << "this kernel accepts past a full backlog";
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/t";
  auto session = init_session();
  RequestOptions opts;
  opts.timeout = 1;
  const auto timeout = failure_of([&] { session.get(url, opts); }, true);
  EXPECT_EQ(timeout.kind, "ConnectTimeout");
  EXPECT_NE(timeout.what.find("(connect timeout=1)"), std::string::npos) << timeout.what;
  for (int fd : fill) close(fd);
  close(lfd);
}

TEST_F(HttpSessionTest, SlowServerIsAReadTimeoutNotANetworkError) {
  LoopbackHttpServer server;
  server.route("GET", "/slow", CannedResponse{200, "late", "text/plain", std::chrono::milliseconds(3500)});
  auto session = init_session();
  RequestOptions opts;
  opts.timeout = 1;
  const auto slow = failure_of([&] { session.get(server.url("/slow"), opts); }, false);
  EXPECT_EQ(slow.kind, "ReadTimeout");
  EXPECT_NE(slow.what.find("Read timed out. (read timeout=1)"), std::string::npos) << slow.what;
}

// The time-out bounds each wait for bytes, not the whole transfer: a reply
// that keeps coming in pieces outlasts it.
TEST_F(HttpSessionTest, SteadyReplyOutlastsTheTimeOut) {
  sockaddr_in a{};
  int lfd = listening_loopback(1, a);
  ASSERT_GE(lfd, 0);
  std::thread server([lfd] {
    int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) return;
    char buf[4096];
    (void)!read(fd, buf, sizeof buf);
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\n";
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    for (int i = 0; i < 12; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      send(fd, "x", 1, MSG_NOSIGNAL);
    }
    close(fd);
  });
  auto session = init_session();
  RequestOptions opts;
  opts.timeout = 2;
  try {
    EXPECT_EQ(session.get("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/s", opts).content,
              "xxxxxxxxxxxx");
  } catch (const HttpError& e) {
    ADD_FAILURE() << e.what();
  }
  server.join();
  close(lfd);
}

TEST_F(HttpSessionTest, OtherFailuresAreNotNetworkErrors) {
  LoopbackHttpServer server;
  auto session = init_session();
  const std::string plain_as_tls = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
  EXPECT_EQ(failure_kind([&] { session.get(plain_as_tls); }, false), "SSLError");
  const std::vector<std::pair<std::string, std::string>> bad_urls = {{"example.com/x", "MissingSchema"},
                                                                     {"ftp://example.com/", "InvalidSchema"},
                                                                     {"localhost:8080/x", "InvalidSchema"},
                                                                     {"http://", "InvalidURL"},
                                                                     {"https:///x", "InvalidURL"}};
  for (const auto& [url, kind] : bad_urls) EXPECT_EQ(failure_kind([&] { session.get(url); }, false), kind) << url;
  EXPECT_EQ(failure_kind(
                [&] {
                  session.get(server.url("/"), {{{"X-A", "1\r\nInjected: yes"}}});
                },
                false),
            "InvalidHeader");
  const Json nan = Json::array({1.0, std::nan("")});
  EXPECT_EQ(failure_kind([&] { RequestBody::json(nan); }, false), "InvalidJSONError");
}

TEST(HttpErrors, NetworkCategoryFollowsTheText) {
  for (const char* t :
       {"ProxyError: x", "ConnectionError: y", "ConnectTimeout: z", "a (Caused by NewConnectionError('b'))"})
    EXPECT_TRUE(is_network_error(t)) << t;
  for (const char* t : {"ReadTimeout: x", "SSLError: y", "InvalidURL: z", ""}) EXPECT_FALSE(is_network_error(t)) << t;
}

}  // namespace
