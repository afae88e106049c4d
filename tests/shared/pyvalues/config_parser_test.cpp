#include "shared/pyvalues/config_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "shared/pyvalues/json.h"
#include "support/temp_dir.h"

using tessel::ConfigError;
using tessel::ConfigValueError;
using tessel::Json;
using tessel::RawConfigParser;
using tessel::testing::TempDir;
using tessel::testing::write_file;

namespace {

std::string from_hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Json load_cases() {
  std::ifstream in(std::string(TESSEL_SOURCE_DIR) + "/tests/shared/pyvalues/data/ini_cases.json");
  std::stringstream ss;
  ss << in.rdbuf();
  return Json::parse(ss.str());
}

// Runs `fn` and gives {"value": ...} or {"error": {"type", "text"}} as the
// generator records them.
template <class F>
Json outcome(F fn) {
  try {
    return Json{{"value", fn()}};
  } catch (const ConfigError& e) {
    return Json{{"error", {{"type", e.kind()}, {"text", e.what()}}}};
  } catch (const ConfigValueError& e) {
    return Json{{"error", {{"type", e.kind()}, {"text", e.what()}}}};
  }
}

}  // namespace

// Every case of the table was read by Python's RawConfigParser (see
// gen_ini_cases.py); the reader must agree on values, queries and errors.
TEST(ConfigParser, AgreesWithTheReferenceTable) {
  const Json cases = load_cases();
  ASSERT_GT(cases.size(), 30u);
  for (const auto& c : cases) {
    const std::string name = c["name"];
    SCOPED_TRACE(name);
    RawConfigParser cp;
    const Json read = outcome([&] {
      cp.read_string(from_hex(c["input_hex"]), "cfg.ini");
      return true;
    });
    if (c.contains("error")) {
      ASSERT_TRUE(read.contains("error"));
      EXPECT_EQ(read["error"], c["error"]);
      continue;
    }
    ASSERT_FALSE(read.contains("error")) << read.dump();
    Json sections = Json::object();
    for (const auto& s : cp.sections()) {
      Json items = Json::array();
      for (const auto& o : cp.options(s)) items.push_back({o, cp.get(s, o)});
      sections[s] = items;
    }
    EXPECT_EQ(sections, c["sections"]);
    for (const auto& q : c["queries"]) {
      const std::string method = q["query"][0];
      const std::string sec = q["query"][1];
      const std::string opt = q["query"].size() > 2 ? q["query"][2].get<std::string>() : "";
      Json got;
      if (method == "get") got = outcome([&] { return cp.get(sec, opt); });
      if (method == "getboolean") got = outcome([&] { return cp.getboolean(sec, opt); });
      if (method == "getint") got = outcome([&] { return cp.getint(sec, opt); });
      if (method == "has_option") got = outcome([&] { return cp.has_option(sec, opt); });
      if (method == "has_section") got = outcome([&] { return cp.has_section(sec); });
      Json want = q;
      want.erase("query");
      EXPECT_EQ(got, want) << q["query"].dump();
    }
  }
}

TEST(ConfigParser, ReadsFilesAndSkipsWhatCannotBeOpened) {
  TempDir dir;
  const std::string path = dir.file("t.conf");
  write_file(path, "[main]\ndebug = on\n");
  RawConfigParser cp;
  EXPECT_TRUE(cp.read(path));
  EXPECT_TRUE(cp.getboolean("main", "debug"));

  // a missing file, a directory and an unreadable file leave the parser
  // empty and say why
  RawConfigParser empty;
  std::string why;
  EXPECT_FALSE(empty.read(dir.file("missing.conf"), &why));
  EXPECT_EQ(why, "[Errno 2] No such file or directory");
  EXPECT_FALSE(empty.read(dir.str(), &why));
  EXPECT_EQ(why, "[Errno 21] Is a directory");
  const std::string locked = dir.file("locked.conf");
  write_file(locked, "[run]\nrmq_host = u@h\n");
  ::chmod(locked.c_str(), 0);
  if (::geteuid() != 0) {
    EXPECT_FALSE(empty.read(locked, &why));
    EXPECT_EQ(why, "[Errno 13] Permission denied");
  }
  EXPECT_TRUE(empty.sections().empty());
  // a NUL would make the system read another file
  try {
    empty.read(path + std::string("\0.bak", 5));
    ADD_FAILURE() << "no error";
  } catch (const ConfigValueError& e) {
    EXPECT_EQ(e.kind(), "ValueError");
    EXPECT_STREQ(e.what(), "embedded null byte");
  }
  EXPECT_TRUE(empty.sections().empty());

  // the file name goes into error texts as given
  write_file(path, "[a]\n[a]\n");
  try {
    cp = RawConfigParser{};
    cp.read(path);
    FAIL() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_EQ(std::string(e.what()), "While reading from '" + path + "' [line  2]: section 'a' already exists");
  }
}
