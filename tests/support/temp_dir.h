#pragma once
// A fresh directory under the system's temp folder, removed with its content.
#include <filesystem>
#include <string>

namespace tessel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // The path as text, with a trailing "/".
  std::string str() const { return path_.string() + "/"; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

}  // namespace tessel::testing
