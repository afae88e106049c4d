#pragma once
// A loopback HTTPS server for tests whose certificate is issued, at run
// time, by a certificate authority of its own; no system store trusts it.
#include <map>
#include <memory>
#include <string>

namespace tessel::testing {

class LoopbackTlsServer {
 public:
  // Answers a POST to a path of `replies` with 200 and that JSON body, 404
  // otherwise. The authority's certificate is written to `ca_file`.
  LoopbackTlsServer(std::map<std::string, std::string> replies, const std::string& ca_file);
  ~LoopbackTlsServer();
  LoopbackTlsServer(const LoopbackTlsServer&) = delete;
  LoopbackTlsServer& operator=(const LoopbackTlsServer&) = delete;

  // "https://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path) const;
  // Requests received for `path`.
  int hits(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessel::testing
