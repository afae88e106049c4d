#pragma once
// Whole-file reads and atomic replacement of files.
#include <optional>
#include <string>
#include <string_view>

namespace tessel {

// Replaces `path` with `data`: writes a temporary file next to it, flushes
// it to disk and renames it over `path`, so readers see the old or the new
// content, never a part. Throws std::system_error (the temporary file is
// removed).
void write_file_atomic(const std::string& path, std::string_view data);

// The content of a file; nullopt when it cannot be read (`why` gets the
// reason).
std::optional<std::string> read_whole_file(const std::string& path, std::string* why = nullptr);

}  // namespace tessel
