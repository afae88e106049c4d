#include "orvik/classify/wl_zone.h"

#include <re2/re2.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "shared/pyvalues/pytext.h"

namespace tessel::orvik {

namespace {

// Character classes with the Unicode meaning the patterns are written for:
// \w letters, numbers and "_"; \d decimal digits of any script; \s the white
// space of str.isspace(). The *_IN forms go inside a bracket expression.
#define W_IN "\\p{L}\\p{N}_"
#define D_IN "\\p{Nd}"
#define S_IN                                                                                                         \
  "\\x{09}-\\x{0D}\\x{1C}-\\x{20}\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}\\x{202F}\\x{205F}\\x{" \
  "3000}"
#define W "[" W_IN "]"
#define D "[" D_IN "]"
#define S "[" S_IN "]"

// One way a value may match: a pattern whose capture groups each hold a
// run whose length (code points) must lie within its bounds. A bounded
// repetition {M,N} of a large class is written as a group of the class
// repeated freely plus the bounds: the same values match, and the compiled
// program stays small. Each such group is cut off by a character its class
// lacks, so the match fixes the group's text.
struct Alt {
  const char* pattern;
  std::vector<std::pair<std::size_t, std::size_t>> bounds;  // per capture group
};
// A pattern of the table: it matches when one of its ways does.
using Pattern = std::vector<Alt>;

struct ZonePatterns {
  const char* zone;
  std::vector<Pattern> patterns;
};

// The table, zone by zone in the order zones are tested.
const std::vector<ZonePatterns>& pattern_source() {
  // ^([\w\-\[\]]{1,50}=)?[\w\-.=]{,500}$: with the name, or without it.
  static const Pattern kPair = {
      {"^([" W_IN "\\-\\[\\]]+)=([" W_IN "\\-.=]*)$", {{1, 50}, {0, 500}}},
      {"^([" W_IN "\\-.=]*)$", {{0, 500}}},
  };
  static const Pattern kMail = {
      {"^([" W_IN "\\[\\]\\-]+)=([" W_IN "\\-.]+)@([" W_IN "\\-.]+)$", {{1, 50}, {1, 30}, {1, 30}}}};
  static const std::vector<ZonePatterns> table = {
      {"url",
       {
           {{"^/\\.well-known/acme-challenge/[" W_IN "\\-]+/*$", {}}},
           {{"^/[" W_IN "\\-/]+\\.(?:gif|png|jpg|jpeg|svg|webp|(?:min\\.)?css|js(?:on)?|pdf|xml|mp" D
             "|m4s|avi|flv|php|html|ttf|eot|woff)$",
             {}}},
           {{"^/[" W_IN "\\-/]+$", {}}},
       }},
      {"args",
       {
           kPair,
           {{"^https?://(?:[" W_IN "\\-]+\\.)+[" W_IN "\\-]+(?:/[" W_IN "\\-]*)*(?:\\?[&" W_IN "\\-=]*)*$", {}}},
           kMail,
           {{"^fb" W "+=(?:" W "+|(?:" W "+-)+" W "+)$", {}}},
       }},
      {"body",
       {
           kPair,
           {{"^([" W_IN "\\[\\]\\-]+)=[+]?" D "+[" S_IN "+\\-]*(?:\\([" D_IN "+]+\\))?(?:[" S_IN "+\\-]*" D "+[" S_IN
             "+\\-]*){1,3}$",
             {{1, 50}}}},
           kMail,
           {{"^content-disposition:" S "+[" W_IN "\\-]+;" S "+name=\"[" W_IN "\\-]+\" [" W_IN "\\-@.]+$", {}}},
       }},
      {"referer",
       {
           {{"^https?://[" W_IN "\\-.]+/\\.well-known/acme-challenge/[" W_IN "\\-]+/*$", {}}},
           {{"^https?://(?:[" W_IN "\\-]+\\.)+" W "+(?:/[" W_IN "\\-]+)*/?$", {}}},
       }},
      {"cookie",
       {
           {{"^([" W_IN "\\-\\[\\]]+)=([" W_IN "\\-.=]*)$", {{1, 50}, {0, 500}}}},
           {{"^bitrix_sm_" W "+=(?:" W "+\\.)*" W "+(?:@[" W_IN "\\-]+\\." W "+)?$", {}}},
           {{"^__utm" W "*=([" W_IN "\\-.=|()/" S_IN "]*)$", {{0, 200}}}},
           {{"^ymex=" D "+\\." W "+\\." D "+#" D "+\\." W "+\\." D "+$", {}}},
           {{"^tmr_" W "+=" D "+\\|" D "+$", {}}},
       }},
      {"other_headers",
       {
           {{"^([" W_IN "\\-\\[\\]]+):" S "*([" W_IN "\\-.=]*)$", {{1, 50}, {0, 500}}}},
           {{"^if-modified-since:" S "*" W "+," S "*" D "+" S "*" W "+" S "*" D "+" S "*" D "+:" S "*" D "+:" S "*" D
             "+" S "*" W "+$",
             {}}},
           {{"^from:" S "*" W "+\\(at\\)" W "+\\." W "+$", {}}},
           {{"^content-type:" S "*multipart/form-data;" S "*boundary=[" W_IN "\\-]+$", {}}},
           {{"^content-disposition:" S "*form-data;" S "*name=\"[" W_IN "\\-\\[\\]]+\"(?:;" S "*filename=\"[" W_IN
             "\\-\\[\\]().]+\")?$",
             {}}},
           {{"^from:" S "*" W "+@(?:" W "+\\.)+" W "+$", {}}},
           {{"^origin:" S "*https?:" S "*//(?:[" W_IN "\\-]+\\.)+" W "+$", {}}},
           {{"^if-range:" S "*\"" W "+-" W "+\"$", {}}},
           {{"^x-real-ip:" S "*" D "{1,3}\\." D "{1,3}\\." D "{1,3}\\." D "{1,3}$", {}}},
           {{"^x-forwarded-for:" S "*" D "{1,3}\\." D "{1,3}\\." D "{1,3}\\." D "{1,3}$", {}}},
           {{"^y-browser-experiments:" S "*(?:" D "+[,;])+" D "*$", {}}},
           {{"^if-none-match:" S "*\"(" W "*)\"$", {{0, 50}}}},
       }},
  };
  return table;
}

#undef W_IN
#undef D_IN
#undef S_IN
#undef W
#undef D
#undef S

RE2::Options pattern_options() {
  RE2::Options o;
  o.set_encoding(RE2::Options::EncodingUTF8);
  o.set_case_sensitive(false);
  o.set_log_errors(false);
  // The bounded classes of 500 expand into large programs.
  o.set_max_mem(64 << 20);
  return o;
}

// `pattern` with every bracket expression matched case-sensitively: case
// folding would widen a class by the characters that fold into it (U+0345
// folds to a Greek letter but is no letter), while the classes here hold
// no cased letters of their own and the literals keep matching in any case.
std::string exact_classes(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size() + 32);
  for (std::size_t i = 0; i < pattern.size();) {
    if (pattern[i] == '\\') {
      out.append(pattern.substr(i, 2));
      i += 2;
      continue;
    }
    if (pattern[i] != '[') {
      out.push_back(pattern[i++]);
      continue;
    }
    std::size_t j = i + 1;
    while (j < pattern.size() && pattern[j] != ']') j += pattern[j] == '\\' ? 2 : 1;
    out += "(?-i:";
    out.append(pattern.substr(i, j + 1 - i));
    out += ')';
    i = j + 1;
  }
  return out;
}

struct CompiledAlt {
  std::unique_ptr<RE2> re;
  std::vector<std::pair<std::size_t, std::size_t>> bounds;
};

struct CompiledZone {
  std::string zone;
  std::vector<std::vector<CompiledAlt>> patterns;
};

// Compiled once, shared by every call (RE2 matching is thread-safe).
const std::vector<CompiledZone>& compiled() {
  static const std::vector<CompiledZone> table = [] {
    std::vector<CompiledZone> out;
    const RE2::Options opts = pattern_options();
    for (const auto& zp : pattern_source()) {
      CompiledZone cz{zp.zone, {}};
      for (const auto& p : zp.patterns) {
        std::vector<CompiledAlt> alts;
        alts.reserve(p.size());
        for (const auto& alt : p) alts.push_back({std::make_unique<RE2>(exact_classes(alt.pattern), opts), alt.bounds});
        cz.patterns.push_back(std::move(alts));
      }
      out.push_back(std::move(cz));
    }
    return out;
  }();
  return table;
}

bool alt_matches(std::string_view v, const CompiledAlt& alt) {
  if (!alt.re->ok()) return false;
  const std::size_t n = alt.bounds.size();
  if (n == 0) return RE2::FullMatch(v, *alt.re);
  std::array<re2::StringPiece, 3> groups;
  std::array<RE2::Arg, 3> args;
  std::array<const RE2::Arg*, 3> argp{};
  for (std::size_t i = 0; i < n; ++i) {
    args[i] = RE2::Arg(&groups[i]);
    argp[i] = &args[i];
  }
  if (!RE2::FullMatchN(v, *alt.re, argp.data(), static_cast<int>(n))) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view g(groups[i].data(), groups[i].size());
    const std::size_t len = py_len(g);
    if (len < alt.bounds[i].first || len > alt.bounds[i].second) return false;
  }
  return true;
}

constexpr std::size_t kWlMaxLength = 750;

}  // namespace

bool ml_wl_zone(std::string_view data, std::string_view z) {
  // Byte length bounds the code-point count from above.
  if (data.size() > kWlMaxLength && py_len(data) > kWlMaxLength) return false;
  const std::string_view v = py_strip(data);
  if (v.empty()) return true;
  if (py_isdigit(v)) return true;
  for (const auto& cz : compiled()) {
    if (cz.zone != z) continue;
    // A value that is not valid UTF-8 fails to match, as the matcher reads
    // UTF-8 only.
    for (const auto& p : cz.patterns)
      for (const auto& alt : p)
        if (alt_matches(v, alt)) return true;
    return false;
  }
  return false;
}

namespace detail {

std::vector<WlPatternInfo> wl_pattern_table() {
  std::vector<WlPatternInfo> out;
  for (const auto& cz : compiled())
    for (const auto& p : cz.patterns)
      for (const auto& alt : p) {
        const RE2& re = *alt.re;
        const bool ok = re.ok() && re.NumberOfCapturingGroups() == static_cast<int>(alt.bounds.size());
        out.push_back({cz.zone, re.pattern(), ok, re.ok() ? (ok ? std::string() : "capture groups") : re.error()});
      }
  return out;
}

}  // namespace detail

}  // namespace tessel::orvik
