// Reads arbitrary bytes as a model archive received from the management
// API. Whatever the bytes, nothing may appear in the model directory but
// whole model pairs, and nothing outside it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "orvik/training/model_exchange.h"
#include "shared/runtime/log_sink.h"

namespace fs = std::filesystem;

namespace {

struct Dirs {
  fs::path root, models;
  Dirs() {
    char tmpl[] = "/tmp/fuzz_model_archive_XXXXXX";
    root = mkdtemp(tmpl);
    models = root / "models";
  }
};

bool is_model_name(const std::string& n) {
  return n.size() > 6 && (n.ends_with("_rf.ml") || n.ends_with("_vect.ml")) && n.front() != '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Dirs dirs;
  static tessel::LogSink sink{std::make_shared<tessel::EventQueue>(), std::make_shared<tessel::Logger>("fuzz"), false};
  fs::remove_all(dirs.root);
  fs::create_directories(dirs.models);
  const fs::path archive = dirs.models / "models.zip";
  std::ofstream(archive, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  tessel::orvik::ExchangeOptions opts;
  opts.max_model_bytes = 1 << 20;
  try {
    tessel::orvik::detail::apply_model_archive(dirs.models.string(), archive.string(), opts, sink);
  } catch (const std::exception&) {
  }
  while (sink.q_ec->try_get()) {
  }
  for (const auto& e : fs::directory_iterator(dirs.root))
    if (e.path() != dirs.models) std::abort();  // written beside the model directory
  for (const auto& e : fs::recursive_directory_iterator(dirs.models)) {
    const std::string name = e.path().filename().string();
    if (e.path() == archive) continue;
    if (e.path().parent_path() != dirs.models || !e.is_regular_file() || e.is_symlink() || !is_model_name(name))
      std::abort();
  }
  return 0;
}
