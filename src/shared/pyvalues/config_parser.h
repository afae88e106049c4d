#pragma once
// The INI reader of the service, in the dialect of Python 3.10's
// configparser.RawConfigParser with its defaults: "=" and ":" delimiters,
// option names case-folded (section names not), whole-line "#" / ";"
// comments, values continued on deeper-indented lines, [DEFAULT] inherited by
// every section, duplicates rejected, no interpolation. Error texts are
// Python's.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel {

// configparser.Error and its kinds: "NoSectionError", "NoOptionError",
// "DuplicateSectionError", "DuplicateOptionError",
// "MissingSectionHeaderError", "ParsingError".
class ConfigError : public std::runtime_error {
 public:
  ConfigError(std::string kind, const std::string& message) : std::runtime_error(message), kind_(std::move(kind)) {}
  const std::string& kind() const { return kind_; }

 private:
  std::string kind_;
};

// A value that cannot be converted ("ValueError") or a file that is not
// UTF-8 ("UnicodeDecodeError").
class ConfigValueError : public std::invalid_argument {
 public:
  ConfigValueError(std::string kind, const std::string& message)
      : std::invalid_argument(message), kind_(std::move(kind)) {}
  const std::string& kind() const { return kind_; }

 private:
  std::string kind_;
};

class RawConfigParser {
 public:
  // Reads and parses one UTF-8 file. A file that cannot be opened or read
  // leaves the parser unchanged and returns false, with the reason in `why`
  // when given; a path holding a NUL, or a file that is not UTF-8 or does
  // not parse, throws.
  bool read(const std::string& path, std::string* why = nullptr);
  // Parses UTF-8 text; `source` names it in error texts.
  void read_string(std::string_view text, const std::string& source = "<string>");

  // Sections in file order, without DEFAULT.
  std::vector<std::string> sections() const;
  bool has_section(const std::string& section) const;
  // The section's options followed by the inherited ones; NoSectionError.
  std::vector<std::string> options(const std::string& section) const;
  // False for a missing section; DEFAULT (or "") looks at the defaults only.
  bool has_option(const std::string& section, const std::string& option) const;
  // NoSectionError / NoOptionError.
  std::string get(const std::string& section, const std::string& option) const;
  // 1/yes/true/on and 0/no/false/off in any case; else "Not a boolean: x".
  bool getboolean(const std::string& section, const std::string& option) const;
  // Python's int() of the text.
  std::int64_t getint(const std::string& section, const std::string& option) const;

 private:
  struct Option {
    std::string name;
    std::vector<std::string> pieces;  // lines of the value until joined
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Option> options;
    Option* find(std::string_view name);
    const Option* find(std::string_view name) const;
  };

  void parse(std::string_view text, const std::string& source);
  void join_multiline_values();
  const Section* section(const std::string& name) const;
  Section* section(const std::string& name);

  Section defaults_{"DEFAULT", {}};
  std::vector<Section> sections_;
};

}  // namespace tessel
