#pragma once
// The records of the service's log file, for comparisons in tests.
#include <ostream>
#include <string>
#include <vector>

namespace tessel::testing {

struct Line {
  std::string level, message;
  bool operator==(const Line&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Line& l) { return os << l.level << " " << l.message; }

// The records of a log file: level name and message (messages may span lines).
inline std::vector<Line> parse_log(const std::string& text) {
  std::vector<Line> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    // "YYYY-MM-DD HH:MM:SS,mmm MAIN         LEVEL    message"
    if (line.size() >= 46 && line.compare(23, 14, " MAIN         ") == 0) {
      std::string level = line.substr(37, 8);
      level.erase(level.find_last_not_of(' ') + 1);
      out.push_back({level, line.substr(46)});
    } else if (!out.empty()) {
      out.back().message += "\n" + line;
    }
  }
  return out;
}

}  // namespace tessel::testing
