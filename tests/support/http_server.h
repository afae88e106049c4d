#pragma once
// A loopback HTTP server for tests: answers from a table of routes and
// records every request it receives.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessel::testing {

struct RecordedRequest {
  std::string method;
  std::string path;   // without the query
  std::string query;  // raw query text, "" when none
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // as received
  std::string header(const std::string& name) const;         // case-insensitive, "" when absent
  bool has_header(const std::string& name) const;
};

struct CannedResponse {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  // Waits this long before answering (read time-out tests).
  std::chrono::milliseconds delay{0};
};

class LoopbackHttpServer {
 public:
  LoopbackHttpServer();  // starts listening on 127.0.0.1 at a free port
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path = "/") const;

  // Answer for a method ("GET", "POST", or "*") and an exact path.
  void route(const std::string& method, const std::string& path, CannedResponse response);
  // A computed answer.
  void route(const std::string& method, const std::string& path,
             std::function<CannedResponse(const RecordedRequest&)> handler);
  // Answer for anything without a route (default: 404, empty body).
  void fallback(CannedResponse response);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests_to(const std::string& path) const;
  void clear_requests();
  // Waits until at least `n` requests were recorded; false on time-out.
  bool wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace tessel::testing
