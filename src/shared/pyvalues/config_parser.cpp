#include "shared/pyvalues/config_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/pyvalues/utf8.h"

namespace tessel {

namespace {

std::u32string_view lstrip(std::u32string_view s) {
  std::size_t i = 0;
  while (i < s.size() && py_isspace(s[i])) ++i;
  return s.substr(i);
}
std::u32string_view rstrip(std::u32string_view s) {
  std::size_t n = s.size();
  while (n > 0 && py_isspace(s[n - 1])) --n;
  return s.substr(0, n);
}
std::u32string_view strip(std::u32string_view s) { return rstrip(lstrip(s)); }

std::string utf8(std::u32string_view s) { return u32_to_utf8(s); }

std::string repr(std::string_view s) { return py_repr_str(s); }

// Python's int() of a str, within the range of int64.
std::int64_t to_int(std::string_view text) {
  const std::u32string s = utf8_to_u32(text);
  auto invalid = [&] {
    std::u32string r = utf8_to_u32(repr(text));
    if (r.size() > 200) r.resize(200);
    return ConfigValueError("ValueError", "invalid literal for int() with base 10: " + u32_to_utf8(r));
  };
  std::u32string_view v = strip(s);
  bool negative = false;
  if (!v.empty() && (v.front() == U'+' || v.front() == U'-')) {
    negative = v.front() == U'-';
    v.remove_prefix(1);
  }
  if (v.empty()) throw invalid();
  // Accumulate as a negative number so that INT64_MIN fits.
  std::int64_t acc = 0;
  bool overflow = false;
  bool prev_digit = false;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char32_t c = v[i];
    if (c == U'_') {
      if (!prev_digit || i + 1 == v.size()) throw invalid();
      prev_digit = false;
      continue;
    }
    int d = -1;
    if (c >= U'0' && c <= U'9') {
      d = static_cast<int>(c - U'0');
    } else if (c > 0x7F && u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER) {
      d = u_charDigitValue(static_cast<UChar32>(c));
    }
    if (d < 0) throw invalid();
    prev_digit = true;
    if (acc < (std::numeric_limits<std::int64_t>::min() + d) / 10) overflow = true;
    if (!overflow) acc = acc * 10 - d;
  }
  if (!overflow && !negative && acc == std::numeric_limits<std::int64_t>::min()) overflow = true;
  if (overflow) throw ConfigValueError("ValueError", "integer out of range: " + repr(text));
  return negative ? acc : -acc;
}

// Checks that a file's bytes are UTF-8, with the error text reading the
// file gives: a sequence cut off by the end of the file is reported relative
// to its own start, as the incremental decoder sees it.
void check_utf8(std::string_view data) {
  try {
    py_decode_utf8(data);
  } catch (const UnicodeDecodeError& e) {
    const std::string text = e.what();
    if (!text.ends_with("unexpected end of data")) throw ConfigValueError("UnicodeDecodeError", text);
    std::size_t k = data.size();
    while (k > 0 && data.size() - k < 4 && (static_cast<unsigned char>(data[k - 1]) & 0xC0) == 0x80) --k;
    if (k > 0) --k;  // the lead byte
    try {
      py_decode_utf8(data.substr(k));
    } catch (const UnicodeDecodeError& tail) {
      throw ConfigValueError("UnicodeDecodeError", tail.what());
    }
    throw ConfigValueError("UnicodeDecodeError", text);
  }
}

// Lines with Python's universal newlines: "\r\n", "\r" and "\n" end a line
// and each line keeps one "\n".
std::vector<std::u32string> split_lines(std::string_view text) {
  std::vector<std::u32string> lines;
  std::u32string cur;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      ++i;
      if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
      cur.push_back(U'\n');
      lines.push_back(std::move(cur));
      cur.clear();
      continue;
    }
    cur.push_back(utf8_next(text, i));
  }
  if (!cur.empty()) lines.push_back(std::move(cur));
  return lines;
}

std::string lineno_text(std::size_t lineno) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%2zu", lineno);
  return buf;
}

}  // namespace

RawConfigParser::Option* RawConfigParser::Section::find(std::string_view n) {
  for (auto& o : options)
    if (o.name == n) return &o;
  return nullptr;
}
const RawConfigParser::Option* RawConfigParser::Section::find(std::string_view n) const {
  for (const auto& o : options)
    if (o.name == n) return &o;
  return nullptr;
}

const RawConfigParser::Section* RawConfigParser::section(const std::string& name) const {
  for (const auto& s : sections_)
    if (s.name == name) return &s;
  return nullptr;
}
RawConfigParser::Section* RawConfigParser::section(const std::string& name) {
  for (auto& s : sections_)
    if (s.name == name) return &s;
  return nullptr;
}

bool RawConfigParser::read(const std::string& path, std::string* why) {
  // The system call would see only the text before a NUL: another file.
  if (path.find('\0') != std::string::npos) throw ConfigValueError("ValueError", "embedded null byte");
  auto fail = [&](int err) {
    if (why) *why = "[Errno " + std::to_string(err) + "] " + std::strerror(err);
    return false;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  std::string data;
  struct stat st {};
  int err = 0;
  if (::fstat(fd, &st) != 0) {
    err = errno;
  } else if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
  }
  char buf[65536];
  while (err == 0) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r == 0) break;
    if (r < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    data.append(buf, static_cast<std::size_t>(r));
  }
  ::close(fd);
  if (err != 0) return fail(err);
  read_string(data, path);
  return true;
}

void RawConfigParser::read_string(std::string_view text, const std::string& source) {
  check_utf8(text);
  parse(text, source);
}

void RawConfigParser::parse(std::string_view text, const std::string& source) {
  // Sections and (section, option) pairs seen in this source.
  std::vector<std::string> seen_sections;
  std::vector<std::pair<std::string, std::string>> seen_options;
  Section* cursect = nullptr;
  std::string sectname;
  std::string optname;
  bool have_optname = false;  // a non-empty option name is current
  std::size_t indent_level = 0;
  std::string errors;  // collected "[line  n]: ..." entries
  auto add_error = [&](std::size_t lineno, const std::u32string& line) {
    if (errors.empty()) errors = "Source contains parsing errors: " + repr(source);
    errors += "\n\t[line " + lineno_text(lineno) + "]: " + repr(utf8(line));
  };

  const auto lines = split_lines(text);
  for (std::size_t idx = 0; idx < lines.size(); ++idx) {
    const std::size_t lineno = idx + 1;
    const std::u32string& line = lines[idx];
    const std::u32string_view stripped = strip(line);
    const bool comment = !stripped.empty() && (stripped.front() == U'#' || stripped.front() == U';');
    const std::u32string_view value = comment ? std::u32string_view{} : stripped;
    if (value.empty()) {
      // An empty line belongs to the value being read; a comment does not.
      if (!comment && cursect && have_optname) cursect->find(optname)->pieces.emplace_back();
      continue;
    }
    const std::size_t cur_indent = line.size() - lstrip(line).size();
    if (cursect && have_optname && cur_indent > indent_level) {
      cursect->find(optname)->pieces.push_back(utf8(value));
      continue;
    }
    indent_level = cur_indent;
    // "[" header "]": the header runs to the last "]" and is not empty.
    const std::size_t close = value.rfind(U']');
    if (value.front() == U'[' && close != std::u32string_view::npos && close >= 2) {
      sectname = utf8(value.substr(1, close - 1));
      if (Section* s = section(sectname)) {
        if (std::find(seen_sections.begin(), seen_sections.end(), sectname) != seen_sections.end()) {
          throw ConfigError("DuplicateSectionError", "While reading from " + repr(source) + " [line " +
                                                         lineno_text(lineno) + "]: section " + repr(sectname) +
                                                         " already exists");
        }
        cursect = s;
        seen_sections.push_back(sectname);
      } else if (sectname == "DEFAULT") {
        cursect = &defaults_;
      } else {
        sections_.push_back(Section{sectname, {}});
        cursect = &sections_.back();
        seen_sections.push_back(sectname);
      }
      have_optname = false;
      optname.clear();
      continue;
    }
    if (!cursect) {
      throw ConfigError("MissingSectionHeaderError", "File contains no section headers.\nfile: " + repr(source) +
                                                         ", line: " + std::to_string(lineno) + "\n" + repr(utf8(line)));
    }
    const std::size_t delim = value.find_first_of(U"=:");
    if (delim == std::u32string_view::npos) {
      add_error(lineno, line);
      continue;
    }
    const std::u32string_view name = rstrip(value.substr(0, delim));
    if (name.empty()) add_error(lineno, line);
    optname = py_lower(utf8(name));
    have_optname = !optname.empty();
    const std::pair<std::string, std::string> key{sectname, optname};
    if (std::find(seen_options.begin(), seen_options.end(), key) != seen_options.end()) {
      throw ConfigError("DuplicateOptionError", "While reading from " + repr(source) + " [line " + lineno_text(lineno) +
                                                    "]: option " + repr(optname) + " in section " + repr(sectname) +
                                                    " already exists");
    }
    seen_options.push_back(key);
    std::vector<std::string> pieces{utf8(strip(value.substr(delim + 1)))};
    if (Option* o = cursect->find(optname)) {
      o->pieces = std::move(pieces);
    } else {
      cursect->options.push_back(Option{optname, std::move(pieces), {}});
    }
  }
  join_multiline_values();
  if (!errors.empty()) throw ConfigError("ParsingError", errors);
}

void RawConfigParser::join_multiline_values() {
  auto join = [](Section& s) {
    for (auto& o : s.options) {
      if (o.pieces.empty()) continue;
      std::string v;
      for (std::size_t i = 0; i < o.pieces.size(); ++i) {
        if (i) v += '\n';
        v += o.pieces[i];
      }
      o.value = utf8(rstrip(utf8_to_u32(v)));
      o.pieces.clear();
    }
  };
  join(defaults_);
  for (auto& s : sections_) join(s);
}

std::vector<std::string> RawConfigParser::sections() const {
  std::vector<std::string> out;
  for (const auto& s : sections_) out.push_back(s.name);
  return out;
}

bool RawConfigParser::has_section(const std::string& name) const { return section(name) != nullptr; }

std::vector<std::string> RawConfigParser::options(const std::string& name) const {
  const Section* s = section(name);
  if (!s) throw ConfigError("NoSectionError", "No section: " + repr(name));
  std::vector<std::string> out;
  for (const auto& o : s->options) out.push_back(o.name);
  for (const auto& o : defaults_.options)
    if (!s->find(o.name)) out.push_back(o.name);
  return out;
}

bool RawConfigParser::has_option(const std::string& name, const std::string& option) const {
  const std::string opt = py_lower(option);
  if (name.empty() || name == "DEFAULT") return defaults_.find(opt) != nullptr;
  const Section* s = section(name);
  if (!s) return false;
  return s->find(opt) != nullptr || defaults_.find(opt) != nullptr;
}

std::string RawConfigParser::get(const std::string& name, const std::string& option) const {
  const Section* s = section(name);
  if (!s && name != "DEFAULT") throw ConfigError("NoSectionError", "No section: " + repr(name));
  const std::string opt = py_lower(option);
  const Option* o = s ? s->find(opt) : nullptr;
  if (!o) o = defaults_.find(opt);
  if (!o) throw ConfigError("NoOptionError", "No option " + repr(opt) + " in section: " + repr(name));
  return o->value;
}

bool RawConfigParser::getboolean(const std::string& name, const std::string& option) const {
  const std::string v = get(name, option);
  const std::string l = py_lower(v);
  if (l == "1" || l == "yes" || l == "true" || l == "on") return true;
  if (l == "0" || l == "no" || l == "false" || l == "off") return false;
  throw ConfigValueError("ValueError", "Not a boolean: " + v);
}

std::int64_t RawConfigParser::getint(const std::string& name, const std::string& option) const {
  return to_int(get(name, option));
}

}  // namespace tessel
