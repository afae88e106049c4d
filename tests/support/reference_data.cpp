#include "support/reference_data.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "shared/pyvalues/json.h"
#include "shared/pyvalues/utf8.h"

namespace tessel::testing {

namespace {

std::string strip_crlf(std::string_view s) {
  std::size_t b = s.find_first_not_of("\r\n");
  if (b == std::string_view::npos) return "";
  return std::string(s.substr(b, s.find_last_not_of("\r\n") - b + 1));
}

std::vector<std::string> split(const std::string& s, const std::string& sep) {
  std::vector<std::string> out;
  for (std::size_t at = 0;;) {
    std::size_t next = s.find(sep, at);
    out.push_back(s.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) return out;
    at = next + sep.size();
  }
}

}  // namespace

std::string reference_data_dir() {
  const char* env = std::getenv("TESSEL_DATA_DIR");
  std::string dir = env && *env ? env : TESSEL_DATA_DIR;
  return std::filesystem::exists(dir + "/attack-payloads.jsonl") ? dir : "";
}

std::vector<std::string> attack_values(const std::string& dir, const std::string& zone) {
  std::ifstream in(dir + "/attack-payloads.jsonl");
  if (!in) throw std::runtime_error("cannot read " + dir + "/attack-payloads.jsonl");
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    Json j = Json::parse(line);
    if (zone.empty() || j["zone"] == zone) out.push_back(j["value"].get<std::string>());
  }
  return out;
}

std::vector<CsicRequest> csic_requests(const std::string& dir) {
  std::string path = dir + "/csic2010/normalTrafficTraining.txt.gz";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("gzip -dc '" + path + "'").c_str(), "r"), pclose);
  if (!p) throw std::runtime_error("cannot run gzip");
  std::string raw;
  char buf[65536];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p.get())) > 0;) raw.append(buf, n);
  std::string text;
  for (unsigned char c : raw) utf8_append(text, c);
  // Requests are separated by empty lines; a POST body is the block after its head.
  std::vector<std::string> blocks = split(text, "\r\n\r\n");
  std::vector<CsicRequest> out;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    std::vector<std::string> lines = split(strip_crlf(blocks[i]), "\r\n");
    const std::string& first = lines[0];
    std::size_t sp = first.find(' ');
    if (sp == std::string::npos) continue;
    CsicRequest r;
    r.method = first.substr(0, sp);
    if (r.method != "GET" && r.method != "POST" && r.method != "PUT") continue;
    r.target = first.substr(sp + 1, first.find(' ', sp + 1) - sp - 1);
    r.headers.assign(lines.begin() + 1, lines.end());
    if (r.method != "GET") {
      if (i + 1 < blocks.size()) r.body = strip_crlf(blocks[i + 1]);
      ++i;
    }
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace tessel::testing
