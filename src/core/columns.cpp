#include "core/columns.h"

namespace tessel::core {

const std::vector<std::string>& zones() {
  static const std::vector<std::string> z = {"url", "args", "cookie", "ua", "referer", "other_headers", "body"};
  return z;
}

const std::vector<std::string>& kv_zone() {
  static const std::vector<std::string> z = {"args", "cookie", "other_headers", "body"};
  return z;
}

}  // namespace tessel::core
