#include "core/net/url_schema.h"

namespace tessel::core {

namespace {
// RFC 3986 scheme followed by "://".
bool has_scheme(const std::string& s) {
  const auto end = s.find("://");
  if (end == std::string::npos || end == 0) return false;
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!alpha(s[0])) return false;
  for (std::size_t i = 1; i < end; ++i) {
    const char c = s[i];
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}
}  // namespace

std::string add_url_schema(const std::string& text, const LogSink& /*sink*/) {
  return has_scheme(text) ? text : "http://" + text;
}

}  // namespace tessel::core
