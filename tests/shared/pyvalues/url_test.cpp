// url_normalize and quote_plus against the table that gen_url_cases.py
// produced with url-normalize 1.4.3 and urllib.parse.
#include "shared/pyvalues/url.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <string>
#include <vector>

#include "shared/pyvalues/json.h"

namespace {

using tessel::Json;

std::vector<Json> load_cases() {
  std::ifstream in(std::string(TESSEL_SOURCE_DIR) + "/tests/shared/pyvalues/url_cases.json");
  std::vector<Json> cases;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) cases.push_back(Json::parse(line));
  return cases;
}

std::string expand(const Json& parts) {
  std::string s;
  for (const auto& p : parts)
    for (int i = 0; i < p[1].get<int>(); ++i) s += p[0].get<std::string>();
  return s;
}

std::string sha256_hex(const std::string& s) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(s.data(), s.size(), md, &len, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out.push_back(kHex[md[i] >> 4]);
    out.push_back(kHex[md[i] & 15]);
  }
  return out;
}

std::string shown(const std::string& s) { return s.size() > 120 ? s.substr(0, 120) + "..." : s; }

TEST(UrlNormalize, MatchesReferenceTable) {
  const auto cases = load_cases();
  ASSERT_GT(cases.size(), 100u) << "table missing";
  for (const auto& c : cases) {
    if (!c.contains("in")) continue;
    const std::string in = expand(c["in"]);
    std::string got, error;
    try {
      got = tessel::url_normalize(in);
    } catch (const tessel::UrlError& e) {
      error = e.what();
    }
    if (c.contains("error")) {
      EXPECT_EQ(error, c["error"].get<std::string>()) << "input: " << shown(in) << "\nresult: " << shown(got);
    } else if (c.contains("out_sha256")) {
      EXPECT_EQ(error, "") << "input: " << shown(in);
      EXPECT_EQ(got.size(), c["out_len"].get<std::size_t>()) << "input: " << shown(in);
      EXPECT_EQ(sha256_hex(got), c["out_sha256"].get<std::string>()) << "input: " << shown(in);
    } else {
      EXPECT_EQ(error, "") << "input: " << shown(in);
      EXPECT_EQ(got, c["out"].get<std::string>()) << "input: " << shown(in);
    }
  }
}

TEST(QuotePlus, MatchesReferenceTable) {
  int n = 0;
  for (const auto& c : load_cases()) {
    if (!c.contains("quote_plus")) continue;
    ++n;
    const auto text = c["quote_plus"].get<std::string>();
    EXPECT_EQ(tessel::quote_plus(text, c["safe"].get<std::string>()), c["out"].get<std::string>()) << "input: " << text;
  }
  EXPECT_GT(n, 0);
}

TEST(QuotePlus, EncodesRawBytes) { EXPECT_EQ(tessel::quote_plus(std::string("\xff\x00 a", 4)), "%FF%00+a"); }

TEST(UrlNormalize, RejectsInvalidUtf8) {
  for (const std::string bad : {"example.com/\xff", "ex\xc3.com", "example.com/\xed\xa0\x80", "\x80"})
    EXPECT_THROW(tessel::url_normalize(bad), tessel::UrlError) << bad;
}

}  // namespace
