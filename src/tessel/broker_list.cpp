#include "tessel/broker_list.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/url.h"
#include "shared/pyvalues/utf8.h"

namespace tessel::svc {

namespace {

std::vector<std::string> split_whitespace(std::string_view s) {
  std::vector<std::string> out;
  std::string cur;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t start = i;
    const char32_t c = utf8_next(s, i);
    if (py_isspace(c)) {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur.append(s.substr(start, i - start));
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

void erase_all(std::string& s, std::string_view what) {
  for (auto pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos)) s.erase(pos, what.size());
}

// A port after the host ("h:5672", "[::1]:5672") is a number from 1 to
// 65535; an empty one stands for the default.
bool port_valid(std::string_view host) {
  std::size_t colon = std::string_view::npos;
  if (!host.empty() && host.front() == '[') {
    const auto close = host.find(']');
    if (close != std::string_view::npos && close + 1 < host.size()) {
      if (host[close + 1] != ':') return false;
      colon = close + 1;
    }
  } else {
    colon = host.rfind(':');
  }
  if (colon == std::string_view::npos) return true;
  const std::string_view port = host.substr(colon + 1);
  if (port.empty()) return true;
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const int n = std::stoi(std::string(port));
  return n >= 1 && n <= 65535;
}

}  // namespace

RmqParamList build_rmq_rc_param_list(std::string_view rmq_host) {
  std::vector<std::string> items;
  for (auto& item : split_whitespace(rmq_host)) {
    if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(std::move(item));
  }
  RmqParamList list;
  for (std::size_t n = 0; n < items.size(); ++n) {
    const std::string& item = items[n];
    const auto at = item.find('@');
    if (at == std::string::npos) {
      // The item is not shown: without "@" it may be a bare password.
      throw std::invalid_argument("broker entry " + std::to_string(n + 1) + " of [run] rmq_host has no \"@\"");
    }
    std::string creds = item.substr(0, at);
    std::string scheme = "amqp://";
    if (creds.find("ssl://") != std::string::npos) {
      erase_all(creds, "ssl://");
      scheme = "amqps://";
    }
    // The host part ends at a second "@"; its first "/" starts the virtual host.
    const auto at2 = item.find('@', at + 1);
    const std::string hostpart = item.substr(at + 1, at2 == std::string::npos ? std::string::npos : at2 - at - 1);
    const auto slash = hostpart.find('/');
    const std::string host = hostpart.substr(0, slash);
    const std::string vhost = slash == std::string::npos ? "" : hostpart.substr(slash + 1);
    if (!port_valid(host)) {
      throw std::invalid_argument("broker entry " + std::to_string(n + 1) +
                                  " of [run] rmq_host: the port is not a number from 1 to 65535");
    }
    const std::string vhost_path = vhost.empty() ? "/%2F" : "/" + quote_plus(vhost);
    list.push_back({scheme + creds + "@" + host + vhost_path + "?blocked_connection_timeout=30", host});
  }
  return list;
}

}  // namespace tessel::svc
