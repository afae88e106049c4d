#pragma once
// The exchange of model files with the management API: the upload of new
// models and the download of other nodes' models.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "core/net/api_context.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik {

// Largest model file taken from the management API (docs/model-files.md).
inline constexpr std::uint64_t kMaxModelFileBytes = std::uint64_t(512) << 20;

// Pauses, caps and the stop of the model exchange.
struct ExchangeOptions {
  std::chrono::milliseconds upload_retry{std::chrono::seconds(30)};
  // Largest archive received, and largest total size of its members.
  std::uint64_t max_archive_bytes = std::uint64_t(2) << 30;
  std::uint64_t max_model_bytes = std::uint64_t(4) << 30;
  // Largest model file received: a member whose content (not the size it
  // declares) goes beyond it is refused before more of it is written.
  std::uint64_t max_member_bytes = kMaxModelFileBytes;
  // Requests of one exchange, at most.
  int max_passes = 1000;
  std::stop_token stop;
};

// Packs the files of `g` (stored, under their base names) into `zip_fname`
// and posts {"vhost", "hash", "model"} to `set_models_url` until the
// management API answers 202; then removes the archive. True once accepted,
// false when `opts.stop` ended the retries. Packing failures throw.
bool tessel_models_send(const std::string& zip_fname, const std::vector<std::string>& g, const std::string& ml_vhost,
                        const std::string& vhost, const std::string& set_models_url, const core::ApiContext& api,
                        const LogSink& sink, const ExchangeOptions& opts = {});

// Asks the management API for models and applies the answer to
// `models_dir`; true when local model files were removed or extracted.
// Never throws.
bool tessel_models_receiver(bool ai_extra, const std::string& models_dir, const std::string& get_models_url,
                            const core::ApiContext& api, const LogSink& sink);
bool tessel_models_receiver(bool ai_extra, const std::string& models_dir, const std::string& get_models_url,
                            const core::ApiContext& api, const LogSink& sink, const ExchangeOptions& opts);

namespace detail {
// Applies an archive received from the management API, written at
// `archive_path`: each host whose two model files it holds, both loading as
// model files of their kind, gets them, written beside their targets and
// renamed into place together; any other member, and a pair that does not
// load, is refused and logged. Returns the names put in place. Throws for
// an archive that cannot be read or exceeds the caps of `opts`; nothing is
// put in place then.
std::vector<std::string> apply_model_archive(const std::string& models_dir, const std::string& archive_path,
                                             const ExchangeOptions& opts, const LogSink& sink);
}  // namespace detail

}  // namespace tessel::orvik
