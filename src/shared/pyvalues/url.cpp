#include "shared/pyvalues/url.h"

#include <punycode.h>
#include <stringprep.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include "shared/pyvalues/percent.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/pyvalues/utf8.h"

namespace tessel {
namespace {

constexpr std::string_view kPathSafe = "~:/?#[]@!$&'()*+,;=";
constexpr std::string_view kQuerySafe = "~:/?#[]@!$'()*+,;=";
constexpr std::string_view kFragmentSafe = "~";

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// unicodedata.normalize("NFKC", s) for the authority check.
std::string nfkc(const std::string& s) {
  if (is_ascii(s)) return s;
  UErrorCode st = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFKCInstance(st);
  if (U_FAILURE(st)) throw UrlError("Unicode normalisation data unavailable");
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  n->normalizeUTF8(0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())), sink, nullptr, st);
  if (U_FAILURE(st)) throw UrlError("Unicode normalisation failed");
  return out;
}

// urllib.parse.unquote, then NFC; the result is valid UTF-8.
std::string unquote_nfc(std::string_view s) {
  if (s.find('%') == std::string_view::npos) return py_nfc(s);
  return py_nfc(py_decode_utf8_replace(percent_decode(s)));
}

using SafeSet = std::array<bool, 256>;

SafeSet safe_set(std::string_view extra) {
  SafeSet t{};
  for (int c = 0; c < 256; ++c)
    t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '~';
  for (char c : extra)
    if (static_cast<unsigned char>(c) < 0x80) t[static_cast<unsigned char>(c)] = true;
  return t;
}

void quote_into(std::string& out, std::string_view bytes, const SafeSet& safe, bool plus) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (plus && c == ' ') {
      out.push_back('+');
    } else if (safe[c]) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
}

std::string requote(std::string_view part, const SafeSet& safe) {
  std::string out;
  quote_into(out, unquote_nfc(part), safe, false);
  return out;
}

// ---- IDNA 2003 (Python's "idna" codec) ----

[[noreturn]] void idna_error(const std::string& what) {
  throw UrlError("encoding with 'idna' codec failed (UnicodeError: " + what + ")");
}

// A stringprep table of libidn, indexed for binary search.
class PrepTable {
 public:
  explicit PrepTable(const Stringprep_table_element* t) {
    for (; t->start != 0 || t->end != 0; ++t) rows_.push_back(t);
    std::sort(rows_.begin(), rows_.end(), [](auto* a, auto* b) { return a->start < b->start; });
  }
  const Stringprep_table_element* find(char32_t c) const {
    auto it = std::upper_bound(rows_.begin(), rows_.end(), c, [](char32_t v, auto* r) { return v < r->start; });
    if (it == rows_.begin()) return nullptr;
    const auto* r = *(it - 1);
    const char32_t last = r->end ? r->end : r->start;
    return c <= last ? r : nullptr;
  }

 private:
  std::vector<const Stringprep_table_element*> rows_;
};

struct NameprepTables {
  PrepTable b1{stringprep_rfc3454_B_1}, b2{stringprep_rfc3454_B_2};
  std::vector<PrepTable> prohibited;
  PrepTable d1{stringprep_rfc3454_D_1}, d2{stringprep_rfc3454_D_2};
  NameprepTables() {
    for (const auto* t : {stringprep_rfc3454_C_1_2, stringprep_rfc3454_C_2_2, stringprep_rfc3454_C_3,
                          stringprep_rfc3454_C_4, stringprep_rfc3454_C_5, stringprep_rfc3454_C_6,
                          stringprep_rfc3454_C_7, stringprep_rfc3454_C_8, stringprep_rfc3454_C_9})
      prohibited.emplace_back(t);
  }
};

const NameprepTables& nameprep_tables() {
  static const NameprepTables tables;
  return tables;
}

// NFKC the way Python's Unicode 3.2 database does it: compatibility
// decomposition of the characters 3.2 knew, canonical ordering by current
// combining classes, then canonical composition by current pairs.
// (libidn's own NFKC takes quadratic time.)
std::u32string nfkc_32(const std::u32string& s) {
  struct Normalizers {
    const icu::Normalizer2* nfc = nullptr;
    std::unique_ptr<icu::UnicodeSet> v32;
    std::unique_ptr<icu::FilteredNormalizer2> nfkd32;
  };
  static const Normalizers n = [] {
    Normalizers r;
    UErrorCode st = U_ZERO_ERROR;
    const icu::Normalizer2* nfkd = icu::Normalizer2::getNFKDInstance(st);
    r.nfc = icu::Normalizer2::getNFCInstance(st);
    r.v32 = std::make_unique<icu::UnicodeSet>(icu::UnicodeString(u"[:age=3.2:]"), st);
    if (U_FAILURE(st)) return Normalizers{};
    r.v32->freeze();
    r.nfkd32 = std::make_unique<icu::FilteredNormalizer2>(*nfkd, *r.v32);
    return r;
  }();
  if (!n.nfkd32) idna_error("Unicode normalisation data unavailable");

  UErrorCode st = U_ZERO_ERROR;
  icu::UnicodeString decomposed;
  n.nfkd32->normalize(
      icu::UnicodeString::fromUTF32(reinterpret_cast<const UChar32*>(s.data()), static_cast<int32_t>(s.size())),
      decomposed, st);
  if (U_FAILURE(st)) idna_error("Unicode normalisation failed");
  std::u32string d;
  d.reserve(static_cast<std::size_t>(decomposed.length()));
  for (int32_t i = 0; i < decomposed.length(); i = decomposed.moveIndex32(i, 1))
    d.push_back(static_cast<char32_t>(decomposed.char32At(i)));

  auto ccc = [](char32_t c) { return u_getCombiningClass(static_cast<UChar32>(c)); };
  for (std::size_t i = 1; i < d.size(); ++i) {
    const auto cur = ccc(d[i]);
    if (cur == 0) continue;
    for (std::size_t o = i; o > 0 && ccc(d[o - 1]) > cur; --o) std::swap(d[o - 1], d[o]);
  }

  constexpr char32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
  constexpr char32_t kLCount = 19, kVCount = 21, kTCount = 28, kSCount = kLCount * kVCount * kTCount;
  std::u32string out;
  out.reserve(d.size());
  std::vector<bool> skipped(d.size());
  for (std::size_t i = 0; i < d.size();) {
    if (skipped[i]) {
      ++i;
      continue;
    }
    char32_t code = d[i];
    if (code >= kLBase && code < kLBase + kLCount && i + 1 < d.size() && d[i + 1] >= kVBase &&
        d[i + 1] < kVBase + kVCount) {
      code = kSBase + ((code - kLBase) * kVCount + (d[i + 1] - kVBase)) * kTCount;
      i += 2;
      if (i < d.size() && d[i] > kTBase && d[i] < kTBase + kTCount) code += d[i++] - kTBase;
      out.push_back(code);
      continue;
    }
    uint8_t comb = 0;
    for (std::size_t j = i + 1; j < d.size(); ++j) {
      const uint8_t cj = ccc(d[j]);
      if (comb && (cj == 0 || comb >= cj)) {
        if (cj == 0) break;
        continue;  // blocked
      }
      const UChar32 c = n.nfc->composePair(static_cast<UChar32>(code), static_cast<UChar32>(d[j]));
      if (c < 0 || (static_cast<char32_t>(c) >= kSBase && static_cast<char32_t>(c) < kSBase + kSCount)) {
        if (cj == 0) break;
        comb = cj;
        continue;
      }
      code = static_cast<char32_t>(c);
      skipped[j] = true;
    }
    out.push_back(code);
    ++i;
  }
  return out;
}

std::u32string nameprep(const std::u32string& label) {
  const auto& t = nameprep_tables();
  std::u32string mapped;
  mapped.reserve(label.size());
  for (char32_t c : label) {
    if (t.b1.find(c)) continue;
    if (const auto* row = t.b2.find(c)) {
      for (uint32_t m : row->map)
        if (m) mapped.push_back(static_cast<char32_t>(m));
    } else {
      mapped.push_back(c);
    }
  }
  std::u32string out = nfkc_32(mapped);
  for (char32_t c : out)
    for (const auto& p : t.prohibited)
      if (p.find(c)) idna_error("Invalid character " + py_repr_str(u32_to_utf8(std::u32string(1, c))));
  if (std::any_of(out.begin(), out.end(), [&](char32_t c) { return t.d1.find(c) != nullptr; })) {
    if (std::any_of(out.begin(), out.end(), [&](char32_t c) { return t.d2.find(c) != nullptr; }))
      idna_error("Violation of BIDI requirement 2");
    if (!t.d1.find(out.front()) || !t.d1.find(out.back())) idna_error("Violation of BIDI requirement 3");
  }
  return out;
}

bool all_ascii(const std::u32string& s) {
  return std::all_of(s.begin(), s.end(), [](char32_t c) { return c < 0x80; });
}

std::string ascii_label(const std::u32string& s) {
  if (s.empty() || s.size() >= 64) idna_error("label empty or too long");
  return std::string(s.begin(), s.end());
}

std::string label_to_ascii(const std::u32string& label) {
  if (all_ascii(label)) return ascii_label(label);
  const std::u32string prepped = nameprep(label);
  if (all_ascii(prepped)) return ascii_label(prepped);
  if (prepped.compare(0, 4, U"xn--") == 0) idna_error("Label starts with ACE prefix");
  // Punycode gives at least one character per code point, so with the
  // prefix such a label can only come out too long.
  if (prepped.size() >= 60) idna_error("label empty or too long");
  std::vector<punycode_uint> in(prepped.begin(), prepped.end());
  char buf[256];
  std::size_t len = sizeof buf;
  if (punycode_encode(in.size(), in.data(), nullptr, &len, buf) != PUNYCODE_SUCCESS)
    idna_error("label empty or too long");
  std::string out = "xn--" + std::string(buf, len);
  if (out.size() >= 64) idna_error("label empty or too long");
  return out;
}

bool is_idna_dot(char32_t c) { return c == U'.' || c == U'\u3002' || c == U'\uFF0E' || c == U'\uFF61'; }

std::string idna_encode(const std::string& host) {
  if (host.empty()) return host;
  if (is_ascii(host)) {
    std::size_t start = 0;
    for (;;) {
      std::size_t dot = host.find('.', start);
      if (dot == std::string::npos) {
        if (host.size() - start >= 64) idna_error("label too long");
        return host;
      }
      if (dot == start || dot - start >= 64) idna_error("label empty or too long");
      start = dot + 1;
    }
  }
  const std::u32string u = utf8_to_u32(host);
  std::vector<std::u32string> labels(1);
  for (char32_t c : u) {
    if (is_idna_dot(c))
      labels.emplace_back();
    else
      labels.back().push_back(c);
  }
  const bool trailing_dot = labels.back().empty();
  if (trailing_dot) labels.pop_back();
  std::string out;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i) out.push_back('.');
    out += label_to_ascii(labels[i]);
  }
  if (trailing_dot) out.push_back('.');
  return out;
}

// ---- the URL parts ----

struct Parts {
  std::string scheme, netloc, path, query, fragment;
};

bool is_scheme_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// A non-ASCII authority must not gain URL delimiters under NFKC.
void check_netloc(const std::string& netloc) {
  if (netloc.empty() || is_ascii(netloc)) return;
  std::string n;
  for (char c : netloc)
    if (c != '@' && c != ':' && c != '#' && c != '?') n.push_back(c);
  const std::string folded = nfkc(n);
  if (folded == n) return;
  if (folded.find_first_of("/?#@:") == std::string::npos) return;
  std::string shown;  // an error text cannot carry U+0000
  for (char c : netloc) shown += c ? std::string(1, c) : std::string("\\x00");
  throw UrlError("netloc '" + shown + "' contains invalid characters under NFKC normalization");
}

// urllib.parse.urlsplit as CPython 3.10 has it.
Parts urlsplit(std::string_view text) {
  std::size_t b = 0;
  while (b < text.size() && static_cast<unsigned char>(text[b]) <= 0x20) ++b;
  std::string url;
  url.reserve(text.size() - b);
  for (char c : text.substr(b))
    if (c != '\t' && c != '\r' && c != '\n') url.push_back(c);
  Parts p;
  const std::size_t colon = url.find(':');
  if (colon != std::string::npos && colon > 0 &&
      std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), is_scheme_char)) {
    p.scheme = ascii_lower(std::string_view(url).substr(0, colon));
    url.erase(0, colon + 1);
  }
  if (url.starts_with("//")) {
    std::size_t end = url.find_first_of("/?#", 2);
    if (end == std::string::npos) end = url.size();
    p.netloc = url.substr(2, end - 2);
    url.erase(0, end);
    const bool open = p.netloc.find('[') != std::string::npos;
    const bool close = p.netloc.find(']') != std::string::npos;
    if (open != close) throw UrlError("Invalid IPv6 URL");
  }
  if (const auto hash = url.find('#'); hash != std::string::npos) {
    p.fragment = url.substr(hash + 1);
    url.resize(hash);
  }
  if (const auto q = url.find('?'); q != std::string::npos) {
    p.query = url.substr(q + 1);
    url.resize(q);
  }
  check_netloc(p.netloc);
  p.path = std::move(url);
  return p;
}

bool uses_netloc(std::string_view scheme) {
  static constexpr std::string_view kSchemes[] = {"",     "ftp",     "http",  "gopher", "nntp",    "telnet", "imap",
                                                  "wais", "file",    "mms",   "https",  "shttp",   "snews",  "prospero",
                                                  "rtsp", "rtspu",   "rsync", "svn",    "svn+ssh", "sftp",   "nfs",
                                                  "git",  "git+ssh", "ws",    "wss"};
  return std::find(std::begin(kSchemes), std::end(kSchemes), scheme) != std::end(kSchemes);
}

std::string normalize_host(std::string_view host) {
  std::string h = py_lower(host);
  const auto b = h.find_first_not_of('.');
  if (b == std::string::npos) return idna_encode({});
  h = h.substr(b, h.find_last_not_of('.') - b + 1);
  return idna_encode(h);
}

std::string normalize_port(const std::string& port, const std::string& scheme) {
  if (port.empty()) return port;
  if (!py_isdigit(port)) return port;
  const std::u32string u = utf8_to_u32(port);
  std::size_t run = 0;
  while (run < u.size() && u_getIntPropertyValue(static_cast<UChar32>(u[run]), UCHAR_NUMERIC_TYPE) == U_NT_DECIMAL)
    ++run;
  if (run > kPyMaxIntDigits)
    throw UrlError("Exceeds the limit (4300) for integer string conversion: value has " + std::to_string(run) +
                   " digits; use sys.set_int_max_str_digits() to increase the limit");
  if (run < u.size()) {
    // Python shows at most 200 characters of the repr.
    throw UrlError("invalid literal for int() with base 10: " + std::string(py_slice(py_repr_str(port), 0, 200)));
  }
  std::string value;
  for (char32_t c : u) {
    const char d = static_cast<char>('0' + u_charDigitValue(static_cast<UChar32>(c)));
    if (!(value.empty() && d == '0')) value.push_back(d);
  }
  if (value.empty()) value = "0";
  static constexpr std::pair<std::string_view, std::string_view> kDefaults[] = {
      {"ftp", "21"},    {"gopher", "70"}, {"http", "80"},   {"https", "443"}, {"news", "119"}, {"nntp", "119"},
      {"snews", "563"}, {"snntp", "563"}, {"telnet", "23"}, {"ws", "80"},     {"wss", "443"}};
  const auto* it =
      std::find_if(std::begin(kDefaults), std::end(kDefaults), [&](const auto& d) { return d.first == scheme; });
  if (it == std::end(kDefaults)) throw UrlError("'" + scheme + "'");
  return it->second == value ? std::string() : value;
}

bool dot_segment_scheme(std::string_view s) {
  return s.empty() || s == "http" || s == "https" || s == "ftp" || s == "file";
}

std::string normalize_path(std::string_view raw, const std::string& scheme) {
  static const SafeSet kSafe = safe_set(kPathSafe);
  std::string path = requote(raw, kSafe);
  if (dot_segment_scheme(scheme)) {
    std::vector<std::string_view> out;
    std::string_view part;
    const std::string_view all(path);
    for (std::size_t start = 0;;) {
      const std::size_t slash = all.find('/', start);
      part = all.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
      if (part.empty()) {
        if (out.empty()) out.push_back(part);
      } else if (part == "..") {
        if (out.size() > 1) out.pop_back();
      } else if (part != ".") {
        out.push_back(part);
      }
      if (slash == std::string_view::npos) break;
      start = slash + 1;
    }
    if (part.empty() || part == "." || part == "..") out.push_back({});
    std::string joined;
    joined.reserve(path.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (i) joined.push_back('/');
      joined.append(out[i]);
    }
    path = std::move(joined);
  }
  if (path.empty() && !scheme.empty() && dot_segment_scheme(scheme)) path = "/";
  return path;
}

std::string normalize_query(std::string_view query) {
  static const SafeSet kSafe = safe_set(kQuerySafe);
  std::vector<std::string> params;
  for (std::size_t start = 0;;) {
    const std::size_t amp = query.find('&', start);
    const std::string_view q =
        query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
    const std::size_t eq = q.find('=');
    if (eq == std::string_view::npos)
      params.push_back(requote(q, kSafe));
    else
      params.push_back(requote(q.substr(0, eq), kSafe) + "=" + requote(q.substr(eq + 1), kSafe));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  std::sort(params.begin(), params.end());
  std::string out;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i) out.push_back('&');
    out += params[i];
  }
  return out;
}

// Adds the default scheme where url-normalize does.
std::string provide_scheme(std::string_view url) {
  // ":" within the first seven characters counts as a scheme.
  std::size_t chars = 0;
  bool has_scheme = false;
  for (std::size_t i = 0; i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if ((c & 0xC0) == 0x80) continue;
    if (++chars > 7) break;
    if (c == ':') {
      has_scheme = true;
      break;
    }
  }
  const bool universal = url.starts_with("//");
  const bool file_path = url == "-" || (url.starts_with("/") && !universal);
  if (has_scheme || file_path) return std::string(url);
  return (universal ? "https:" : "https://") + std::string(url);
}

std::string cleanup(std::string url) {
  static constexpr std::string_view kShebang = "#!", kEscaped = "?_escaped_fragment_=";
  static constexpr std::string_view kUtm = "utm_source=";
  if (url.find(kShebang) != std::string::npos) {
    std::string out;
    std::size_t i = 0;
    for (std::size_t p; (p = url.find(kShebang, i)) != std::string::npos; i = p + kShebang.size())
      out.append(url, i, p - i).append(kEscaped);
    url = out.append(url, i);
  }
  if (url.find(kUtm) != std::string::npos) {
    // re.sub(r"utm_source=[^&]+&?", "", url)
    std::string out;
    std::size_t i = 0;
    for (;;) {
      const std::size_t p = url.find(kUtm, i);
      if (p == std::string::npos) break;
      const std::size_t v = p + kUtm.size();
      if (v < url.size() && url[v] != '&') {
        std::size_t e = url.find('&', v);
        e = e == std::string::npos ? url.size() : e + 1;
        out.append(url, i, p - i);
        i = e;
      } else {
        out.append(url, i, p + 1 - i);
        i = p + 1;
      }
    }
    url = out.append(url, i);
  }
  while (!url.empty() && (url.back() == '&' || url.back() == '?' || url.back() == ' ')) url.pop_back();
  return url;
}

}  // namespace

std::string url_normalize(std::string_view input) {
  if (input.empty()) return {};
  if (!utf8_valid(input)) throw UrlError("URL is not valid UTF-8");
  const std::string url = cleanup(provide_scheme(input));
  Parts p = urlsplit(py_strip(url));

  // The authority: ([^@]*@)?([^:]*):?(.*)
  std::string userinfo, host, port;
  std::string_view rest = p.netloc;
  if (const auto at = rest.find('@'); at != std::string_view::npos) {
    userinfo = rest.substr(0, at + 1);
    rest.remove_prefix(at + 1);
  }
  if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  } else {
    host = rest;
  }
  if (userinfo == "@" || userinfo == ":@") userinfo.clear();

  static const SafeSet kFragment = safe_set(kFragmentSafe);
  host = normalize_host(host);
  const std::string query = normalize_query(p.query);
  const std::string fragment = requote(p.fragment, kFragment);
  port = normalize_port(port, p.scheme);
  std::string path = normalize_path(p.path, p.scheme);

  // urlunsplit
  std::string auth = userinfo + host;
  if (!port.empty()) auth += ":" + port;
  std::string out;
  if (!auth.empty() || (!p.scheme.empty() && uses_netloc(p.scheme) && !path.starts_with("//"))) {
    if (!path.empty() && path[0] != '/') path.insert(0, "/");
    out = "//" + auth;
  }
  out += path;
  if (!p.scheme.empty()) out.insert(0, p.scheme + ":");
  if (!query.empty()) out += "?" + query;
  if (!fragment.empty()) out += "#" + fragment;
  return out;
}

std::string quote_plus(std::string_view text, std::string_view safe) {
  std::string out;
  out.reserve(text.size());
  quote_into(out, text, safe_set(safe), true);
  return out;
}

}  // namespace tessel
