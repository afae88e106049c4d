#include "support/http_server.h"

#include <httplib.h>
#include <strings.h>

#include <algorithm>
#include <condition_variable>
#include <stdexcept>

namespace tessel::testing {

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  return {};
}

bool RecordedRequest::has_header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return true;
  return false;
}

struct LoopbackHttpServer::Impl {
  httplib::Server server;
  std::thread thread;
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::vector<RecordedRequest> recorded;
  std::map<std::pair<std::string, std::string>, std::function<CannedResponse(const RecordedRequest&)>> routes;
  CannedResponse fallback{404, "", "text/plain", std::chrono::milliseconds(0)};

  void handle(const httplib::Request& req, httplib::Response& res) {
    RecordedRequest r;
    r.method = req.method;
    r.path = req.path;
    auto q = req.target.find('?');
    if (q != std::string::npos) r.query = req.target.substr(q + 1);
    r.body = req.body;
    for (const auto& [k, v] : req.headers) r.headers.emplace_back(k, v);
    std::function<CannedResponse(const RecordedRequest&)> handler;
    CannedResponse answer;
    {
      std::lock_guard lk(mu);
      recorded.push_back(r);
      auto it = routes.find({req.method, req.path});
      if (it == routes.end()) it = routes.find({"*", req.path});
      if (it != routes.end()) {
        handler = it->second;
      } else {
        answer = fallback;
      }
    }
    cv.notify_all();
    if (handler) answer = handler(r);
    if (answer.delay.count() > 0) std::this_thread::sleep_for(answer.delay);
    res.status = answer.status;
    res.set_content(answer.body, answer.content_type.c_str());
  }
};

LoopbackHttpServer::LoopbackHttpServer() : impl_(std::make_unique<Impl>()) {
  auto h = [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); };
  impl_->server.Get(".*", h);
  impl_->server.Post(".*", h);
  impl_->server.Put(".*", h);
  impl_->server.Delete(".*", h);
  impl_->server.Patch(".*", h);
  impl_->server.set_keep_alive_max_count(100);
  port_ = impl_->server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  while (!impl_->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackHttpServer::~LoopbackHttpServer() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpServer::route(const std::string& method, const std::string& path, CannedResponse response) {
  route(method, path, [response](const RecordedRequest&) { return response; });
}

void LoopbackHttpServer::route(const std::string& method, const std::string& path,
                               std::function<CannedResponse(const RecordedRequest&)> handler) {
  std::lock_guard lk(impl_->mu);
  impl_->routes[{method, path}] = std::move(handler);
}

void LoopbackHttpServer::fallback(CannedResponse response) {
  std::lock_guard lk(impl_->mu);
  impl_->fallback = std::move(response);
}

std::vector<RecordedRequest> LoopbackHttpServer::requests() const {
  std::lock_guard lk(impl_->mu);
  return impl_->recorded;
}

std::vector<RecordedRequest> LoopbackHttpServer::requests_to(const std::string& path) const {
  std::lock_guard lk(impl_->mu);
  std::vector<RecordedRequest> out;
  std::copy_if(impl_->recorded.begin(), impl_->recorded.end(), std::back_inserter(out),
               [&](const RecordedRequest& r) { return r.path == path; });
  return out;
}

void LoopbackHttpServer::clear_requests() {
  std::lock_guard lk(impl_->mu);
  impl_->recorded.clear();
}

bool LoopbackHttpServer::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lk(impl_->mu);
  return impl_->cv.wait_for(lk, timeout, [&] { return impl_->recorded.size() >= n; });
}

}  // namespace tessel::testing
