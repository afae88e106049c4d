#include "core/data/request_data.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "core/base/log.h"
#include "core/base/util.h"
#include "shared/pyvalues/base64.h"
#include "shared/pyvalues/json.h"
#include "shared/pyvalues/percent.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/pyvalues/utf8.h"

namespace tessel::core {

namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr int kMaxJsonDepth = 32;

// One round of percent-decoding ("+" stays); the result is valid UTF-8
// where the decoded bytes made it invalid.
std::string pct_decode(std::string_view s) {
  bool high = false;
  std::string out = percent_decode(s, false, &high);
  if (high && !utf8_valid(out)) return py_decode_utf8_replace(out);
  return out;
}

bool b64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// The text a base64 value stands for, when it is base64 of printable UTF-8
// text; else nothing.
std::optional<std::string> base64_text(std::string_view v) {
  if (v.size() < 12 || v.size() % 4 != 0) return std::nullopt;
  std::size_t data = v.size();
  while (data > v.size() - 2 && v[data - 1] == '=') --data;
  for (std::size_t i = 0; i < data; ++i)
    if (!b64_char(v[i])) return std::nullopt;
  std::string bytes;
  try {
    bytes = base64_decode(v);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (bytes.empty() || !utf8_valid(bytes)) return std::nullopt;
  for (unsigned char c : bytes)
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7f) return std::nullopt;
  return bytes;
}

class Lines {
 public:
  // Room for the lines of `data`, a little longer than it; none for an
  // empty one.
  Lines(std::string_view data, std::size_t extra) {
    if (!data.empty()) out_.reserve(data.size() + extra);
  }
  void add(std::string_view line) {
    if (line.empty()) return;
    if (!out_.empty()) out_ += kCrlf;
    out_ += line;
  }
  // The line "name=value".
  void add_pair(std::string_view name, std::string_view value) {
    if (!out_.empty()) out_ += kCrlf;
    out_ += name;
    out_ += '=';
    out_ += value;
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// "name=value" with both sides percent-decoded and the value's base64 text
// in its place unless the name is white-listed.
void add_pair(Lines& lines, std::string_view name, std::optional<std::string_view> value, const B64Whitelist& b64wl) {
  const std::string decoded_name = pct_decode(name);
  if (!value) {
    lines.add(decoded_name);
    return;
  }
  std::string v = pct_decode(*value);
  if (!b64wl.contains(decoded_name) && !b64wl.contains(v)) {
    if (auto text = base64_text(v)) v = std::move(*text);
  }
  lines.add_pair(decoded_name, v);
}

// "a=1&b=2" (or ";"-separated cookies) as "name=value" lines.
std::string pairs(std::string_view data, char sep, bool strip_items, const B64Whitelist& b64wl) {
  Lines lines(data, 16);
  while (!data.empty()) {
    const auto cut = data.find(sep);
    std::string_view item = data.substr(0, cut);
    data = cut == std::string_view::npos ? std::string_view() : data.substr(cut + 1);
    if (strip_items) item = py_strip(item);
    if (item.empty()) continue;
    const auto eq = item.find('=');
    if (eq == std::string_view::npos) {
      add_pair(lines, item, std::nullopt, b64wl);
    } else {
      add_pair(lines, item.substr(0, eq), item.substr(eq + 1), b64wl);
    }
  }
  return lines.take();
}

// Text as its stripped, non-empty lines.
std::string text_lines(std::string_view data) {
  Lines lines(data, 2);
  while (!data.empty()) {
    const auto cut = data.find('\n');
    lines.add(py_strip(data.substr(0, cut)));
    data = cut == std::string_view::npos ? std::string_view() : data.substr(cut + 1);
  }
  return lines.take();
}

void flatten(const Json& v, const std::string& name, int depth, Lines& lines, const B64Whitelist& b64wl) {
  if (depth < kMaxJsonDepth && v.is_object()) {
    for (const auto& [k, item] : v.items())
      flatten(item, name.empty() ? k : name + "[" + k + "]", depth + 1, lines, b64wl);
    return;
  }
  if (depth < kMaxJsonDepth && v.is_array()) {
    const std::string inner = name.empty() ? std::string() : name + "[]";
    for (const auto& item : v) flatten(item, inner, depth + 1, lines, b64wl);
    return;
  }
  std::string text;
  if (v.is_string()) {
    text = v.get<std::string>();
    if (!b64wl.contains(name) && !b64wl.contains(text)) {
      if (auto decoded = base64_text(text)) text = std::move(*decoded);
    }
  } else {
    text = v.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  lines.add(name.empty() ? text : name + "=" + text);
}

std::string multipart(std::string_view data, std::string_view boundary) {
  const std::string delim = "--" + std::string(boundary);
  std::size_t pos = data.find(delim);
  if (pos == std::string_view::npos) return text_lines(data);
  Lines lines(data, 16);
  for (;;) {
    std::size_t start = pos + delim.size();
    if (data.substr(start, 2) == "--") break;
    const std::size_t next = data.find(delim, start);
    std::string_view part = data.substr(start, next == std::string_view::npos ? std::string_view::npos : next - start);
    std::string_view headers;
    std::string_view content = part;
    std::size_t sep = part.find("\r\n\r\n");
    std::size_t sep_len = 4;
    if (sep == std::string_view::npos) {
      sep = part.find("\n\n");
      sep_len = 2;
    }
    if (sep != std::string_view::npos) {
      headers = part.substr(0, sep);
      content = part.substr(sep + sep_len);
    }
    std::string line;
    while (!headers.empty()) {
      const auto cut = headers.find('\n');
      std::string_view h = py_strip(headers.substr(0, cut));
      headers = cut == std::string_view::npos ? std::string_view() : headers.substr(cut + 1);
      if (detail::ascii_istarts_with(h, "content-disposition:")) {
        line = "content-disposition: " + std::string(py_strip(h.substr(20)));
      }
    }
    std::string value(py_strip(content));
    std::replace(value.begin(), value.end(), '\r', ' ');
    std::replace(value.begin(), value.end(), '\n', ' ');
    if (!line.empty() && !value.empty()) line += ' ';
    line += value;
    lines.add(line);
    if (next == std::string_view::npos) break;
    pos = next;
  }
  return lines.take();
}

// Whether the nesting of a JSON text stays within `limit`; a body nested
// deeper is read as text, since its normalised form would need a recursion
// as deep as the body.
bool nesting_within(std::string_view json, int limit) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

bool form_like(std::string_view data) {
  if (data.find('=') == std::string_view::npos) return false;
  for (char c : data)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
  return true;
}

std::string url_path(std::string_view data) {
  data = py_strip(data);
  if (auto scheme = data.find("://");
      scheme != std::string_view::npos && scheme < 10 &&
      (detail::ascii_istarts_with(data, "http://") || detail::ascii_istarts_with(data, "https://"))) {
    const auto slash = data.find('/', scheme + 3);
    data = slash == std::string_view::npos ? std::string_view("/") : data.substr(slash);
  }
  data = data.substr(0, data.find_first_of("?#"));
  return pct_decode(data);
}

}  // namespace

bool B64Whitelist::contains(std::string_view name) const {
  return !names.empty() && std::binary_search(names.begin(), names.end(), name);
}

B64Whitelist b64wl_load(const std::string& path, const LogSink& sink) {
  B64Whitelist wl;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      if (errno == ENOENT) return wl;
      throw std::runtime_error(std::strerror(errno));
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const Json v = Json::parse(ss.str());
    if (!v.is_array()) throw std::runtime_error("the white-list is not a list");
    for (const auto& item : v)
      if (item.is_string()) wl.names.push_back(item.get<std::string>());
    std::sort(wl.names.begin(), wl.names.end());
    wl.names.erase(std::unique(wl.names.begin(), wl.names.end()), wl.names.end());
  } catch (const std::exception& e) {
    wl.names.clear();
    log_processing(sink, "error", "os", "An error occurred while loading base64 white-list " + path + ": " + e.what());
  }
  return wl;
}

std::string get_boundary(std::string_view /*body*/, std::string_view other_headers, const LogSink& /*sink*/) {
  std::string_view content_type;
  while (!other_headers.empty()) {
    const auto cut = other_headers.find('\n');
    std::string_view line = py_strip(other_headers.substr(0, cut));
    other_headers = cut == std::string_view::npos ? std::string_view() : other_headers.substr(cut + 1);
    if (detail::ascii_istarts_with(line, "content-type:")) content_type = line.substr(13);
  }
  content_type = py_strip(content_type);
  if (!detail::ascii_istarts_with(content_type, "multipart/")) return {};
  std::string_view params = content_type;
  while (!params.empty()) {
    const auto semi = params.find(';');
    std::string_view p = py_strip(params.substr(0, semi));
    params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
    if (!detail::ascii_istarts_with(p, "boundary=")) continue;
    std::string_view b = py_strip(p.substr(9));
    if (b.size() >= 2 && b.front() == '"' && b.back() == '"') b = b.substr(1, b.size() - 2);
    return std::string(b);
  }
  return {};
}

std::string req_data_normalization(std::string_view zone, std::string_view data, std::string_view boundary,
                                   const B64Whitelist& b64wl, const LogSink& /*sink*/) {
  if (zone == "url") return url_path(data);
  if (zone == "args") {
    data = py_strip(data);
    if (!data.empty() && data.front() == '?') data.remove_prefix(1);
    return pairs(data, '&', false, b64wl);
  }
  if (zone == "cookie") return pairs(data, ';', true, b64wl);
  if (zone == "other_headers") return text_lines(data);
  if (zone == "ua") return std::string(py_strip(data));
  if (zone == "referer") return pct_decode(py_strip(data));
  if (zone == "body") {
    if (!boundary.empty()) return multipart(data, boundary);
    if (is_json(data) && nesting_within(data, kPyMaxDepth)) {
      Lines lines(data, 0);
      flatten(Json::parse(data), std::string(), 0, lines, b64wl);
      return lines.take();
    }
    if (form_like(py_strip(data))) return pairs(py_strip(data), '&', false, b64wl);
    return text_lines(data);
  }
  return std::string(data);
}

std::string req_data_decode(std::string_view value, const LogSink& /*sink*/) {
  std::string out = pct_decode(value);
  for (int round = 1; round < 3; ++round) {
    if (out.find('%') == std::string::npos) break;
    std::string next = pct_decode(out);
    if (next == out) break;
    out = std::move(next);
  }
  return out;
}

bool is_json(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
  if (i == text.size() || (text[i] != '{' && text[i] != '[')) return false;
  return Json::accept(text);
}

}  // namespace tessel::core
