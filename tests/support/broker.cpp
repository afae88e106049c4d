#include "support/broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <random>

namespace tessel::testing {

namespace {
std::string pct_decode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}
std::string pct_encode(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}
}  // namespace

BrokerAddress broker_address() {
  BrokerAddress a;
  const char* env = std::getenv("TESSEL_TEST_AMQP_URL");
  if (!env || !*env) return a;
  std::string url = env;
  auto scheme = url.find("://");
  if (scheme != std::string::npos) url = url.substr(scheme + 3);
  auto at = url.rfind('@');
  if (at != std::string::npos) {
    std::string cred = url.substr(0, at);
    url = url.substr(at + 1);
    auto colon = cred.find(':');
    a.user = pct_decode(cred.substr(0, colon));
    if (colon != std::string::npos) a.password = pct_decode(cred.substr(colon + 1));
  }
  auto slash = url.find('/');
  std::string hostport = url.substr(0, slash);
  if (slash != std::string::npos) {
    std::string vh = url.substr(slash + 1);
    auto q = vh.find('?');
    if (q != std::string::npos) vh = vh.substr(0, q);
    a.vhost = vh.empty() ? "/" : pct_decode(vh);
  }
  auto colon = hostport.rfind(':');
  if (colon != std::string::npos) {
    a.host = hostport.substr(0, colon);
    a.port = std::atoi(hostport.substr(colon + 1).c_str());
  } else {
    a.host = hostport;
  }
  return a;
}

std::string broker_url(const BrokerAddress& a) {
  return "amqp://" + pct_encode(a.user) + ":" + pct_encode(a.password) + "@" + a.host + ":" + std::to_string(a.port) +
         "/" + pct_encode(a.vhost);
}

bool broker_available() {
  static const bool available = [] {
    BrokerAddress a = broker_address();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(a.port));
    if (::inet_pton(AF_INET, a.host == "localhost" ? "127.0.0.1" : a.host.c_str(), &sa.sin_addr) != 1) {
      ::close(fd);
      return false;
    }
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
  }();
  return available;
}

std::string unique_name(const std::string& prefix) {
  static std::atomic<int> counter{0};
  static const unsigned salt = std::random_device{}();
  return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(salt % 100000);
}

namespace {
bool run_ctl(const std::string& args) {
  const char* ctl = std::getenv("TESSEL_RMQCTL");
  std::string cmd = std::string(ctl && *ctl ? ctl : "rabbitmqctl") + " " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}
}  // namespace

TestVhost::TestVhost() : name_(unique_name("tessel-test")) {
  BrokerAddress a = broker_address();
  ok_ = run_ctl("add_vhost '" + name_ + "'") &&
        run_ctl("set_permissions -p '" + name_ + "' '" + a.user + "' '.*' '.*' '.*'");
}

TestVhost::~TestVhost() {
  if (ok_) run_ctl("delete_vhost '" + name_ + "'");
}

BrokerAddress TestVhost::address() const {
  BrokerAddress a = broker_address();
  a.vhost = name_;
  return a;
}

}  // namespace tessel::testing
