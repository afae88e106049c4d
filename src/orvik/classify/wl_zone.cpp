#include "orvik/classify/wl_zone.h"

#include <re2/re2.h>

#include <array>
#include <memory>

#include "shared/pyvalues/pytext.h"

namespace tessel::orvik {

namespace {

// Character classes with the Unicode meaning the patterns are written for:
// \w letters, numbers and "_"; \d decimal digits of any script; \s the white
// space of str.isspace(). The *_IN forms go inside a bracket expression.
#define W_IN "\\p{L}\\p{N}_"
#define D_IN "\\p{Nd}"
#define S_IN "\\x{09}-\\x{0D}\\x{1C}-\\x{20}\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}\\x{202F}\\x{205F}\\x{3000}"
#define W "[" W_IN "]"
#define D "[" D_IN "]"
#define S "[" S_IN "]"

struct ZonePatterns {
  const char* zone;
  std::vector<const char*> patterns;
};

// The table, zone by zone in the order zones are tested. {,N} is written
// {0,N}.
const std::vector<ZonePatterns>& pattern_source() {
  static const char* const kPair = "^([" W_IN "\\-\\[\\]]{1,50}=)?[" W_IN "\\-.=]{0,500}$";
  static const char* const kMail = "^[" W_IN "\\[\\]\\-]{1,50}=[" W_IN "\\-.]{1,30}@[" W_IN "\\-.]{1,30}$";
  static const std::vector<ZonePatterns> table = {
      {"url",
       {
           "^/\\.well-known/acme-challenge/[" W_IN "\\-]+/*$",
           "^/[" W_IN "\\-/]+\\.(gif|png|jpg|jpeg|svg|webp|(min\\.)?css|js(on)?|pdf|xml|mp" D
           "|m4s|avi|flv|php|html|ttf|eot|woff)$",
           "^/[" W_IN "\\-/]+$",
       }},
      {"args",
       {
           kPair,
           "^https?://([" W_IN "\\-]+\\.)+[" W_IN "\\-]+(/[" W_IN "\\-]*)*(\\?[&" W_IN "\\-=]*)*$",
           kMail,
           "^fb" W "+=(" W "+|(" W "+-)+" W "+)$",
       }},
      {"body",
       {
           kPair,
           "^[" W_IN "\\[\\]\\-]{1,50}=[+]?" D "+[" S_IN "+\\-]*(\\([" D_IN "+]+\\))?([" S_IN "+\\-]*" D "+[" S_IN
           "+\\-]*){1,3}$",
           kMail,
           "^content-disposition:" S "+[" W_IN "\\-]+;" S "+name=\"[" W_IN "\\-]+\" [" W_IN "\\-@.]+$",
       }},
      {"referer",
       {
           "^https?://[" W_IN "\\-.]+/\\.well-known/acme-challenge/[" W_IN "\\-]+/*$",
           "^https?://([" W_IN "\\-]+\\.)+" W "+(/[" W_IN "\\-]+)*/?$",
       }},
      {"cookie",
       {
           "^[" W_IN "\\-\\[\\]]{1,50}=[" W_IN "\\-.=]{0,500}$",
           "^bitrix_sm_" W "+=(" W "+\\.)*" W "+(@[" W_IN "\\-]+\\." W "+)?$",
           "^__utm" W "*=[" W_IN "\\-.=|()/" S_IN "]{0,200}$",
           "^ymex=" D "+\\." W "+\\." D "+#" D "+\\." W "+\\." D "+$",
           "^tmr_" W "+=" D "+\\|" D "+$",
       }},
      {"other_headers",
       {
           "^[" W_IN "\\-\\[\\]]{1,50}:" S "*[" W_IN "\\-.=]{0,500}$",
           "^if-modified-since:" S "*" W "+," S "*" D "+" S "*" W "+" S "*" D "+" S "*" D "+:" S "*" D "+:" S "*" D
           "+" S "*" W "+$",
           "^from:" S "*" W "+\\(at\\)" W "+\\." W "+$",
           "^content-type:" S "*multipart/form-data;" S "*boundary=[" W_IN "\\-]+$",
           "^content-disposition:" S "*form-data;" S "*name=\"[" W_IN "\\-\\[\\]]+\"(;" S "*filename=\"[" W_IN
           "\\-\\[\\]().]+\")?$",
           "^from:" S "*" W "+@(" W "+\\.)+" W "+$",
           "^origin:" S "*https?:" S "*//([" W_IN "\\-]+\\.)+" W "+$",
           "^if-range:" S "*\"" W "+-" W "+\"$",
           "^x-real-ip:" S "*" D "{1,3}\\." D "{1,3}\\." D "{1,3}\\." D "{1,3}$",
           "^x-forwarded-for:" S "*" D "{1,3}\\." D "{1,3}\\." D "{1,3}\\." D "{1,3}$",
           "^y-browser-experiments:" S "*(" D "+[,;])+" D "*$",
           "^if-none-match:" S "*\"" W "{0,50}\"$",
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

struct CompiledZone {
  std::string zone;
  std::vector<std::unique_ptr<RE2>> patterns;
};

// Compiled once, shared by every call (RE2 matching is thread-safe).
const std::vector<CompiledZone>& compiled() {
  static const std::vector<CompiledZone> table = [] {
    std::vector<CompiledZone> out;
    const RE2::Options opts = pattern_options();
    for (const auto& zp : pattern_source()) {
      CompiledZone cz{zp.zone, {}};
      for (const char* p : zp.patterns) cz.patterns.push_back(std::make_unique<RE2>(p, opts));
      out.push_back(std::move(cz));
    }
    return out;
  }();
  return table;
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
    for (const auto& re : cz.patterns)
      if (re->ok() && RE2::FullMatch(v, *re)) return true;
    return false;
  }
  return false;
}

namespace detail {

std::vector<WlPatternInfo> wl_pattern_table() {
  std::vector<WlPatternInfo> out;
  const auto& src = pattern_source();
  const auto& comp = compiled();
  for (std::size_t i = 0; i < src.size(); ++i)
    for (std::size_t j = 0; j < src[i].patterns.size(); ++j) {
      const RE2& re = *comp[i].patterns[j];
      out.push_back({src[i].zone, src[i].patterns[j], re.ok(), re.ok() ? std::string() : re.error()});
    }
  return out;
}

}  // namespace detail

}  // namespace tessel::orvik
