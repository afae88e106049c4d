#pragma once
// A host's model files: loading them for classification, their digests, the
// upload of new models and the exchange with the management API.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/net/api_context.h"
#include "ml/model_io.h"
#include "shared/runtime/log_sink.h"

namespace tessel::orvik {

// The models of one host as classification uses them: per zone a TF-IDF
// vectoriser and a random forest. A null member was not loaded; only a
// pair with both members is usable. The zone "uri" is found under "url".
// `left_out`: the zones both files hold no model for on purpose (null when
// none); their values are not judged.
struct HostModels {
  std::shared_ptr<const ml::ForestMap> rf;
  std::shared_ptr<const ml::VectorizerMap> vect;
  std::shared_ptr<const ml::ZoneNames> left_out;
  bool usable() const { return rf != nullptr && vect != nullptr; }
  bool left_out_zone(std::string_view z) const {
    return left_out && std::find(left_out->begin(), left_out->end(), z) != left_out->end();
  }
};

// Loaded models per host file-name form (classification keeps one per host).
using HostModelsMap = std::map<std::string, HostModels>;

// Reads `<vhost>_rf.ml` and `<vhost>_vect.ml` from `models_dir`. Neither
// file: an empty pair, nothing logged. Only one file, or an empty or
// unreadable one: an empty pair and the "Retrain" lines. A usable pair logs
// one warning per zone it leaves out on purpose. Never throws.
HostModels tessel_models_load(const std::string& models_dir, const std::string& vhost, const LogSink& sink);

// Host file-name form -> MD5 (lower-case hex) over its "_rf.ml" then its
// "_vect.ml" file, for every host with an "_rf.ml" file in `models_dir`.
using ModelsDict = std::map<std::string, std::string>;
// Never throws: a failure is logged and the hosts done so far are returned.
// With `nolog` false one "{} md5: {}" line per host.
ModelsDict tessel_models_dict(const std::string& models_dir, bool nolog, const LogSink& sink);

// The MD5 of the files of `paths`, fed in list order. Throws
// std::runtime_error when one cannot be read.
std::string models_digest(const std::vector<std::string>& paths);

// Pauses, caps and the stop of the model exchange.
struct ExchangeOptions {
  std::chrono::milliseconds upload_retry{std::chrono::seconds(30)};
  // Largest archive received, and largest total size of its members.
  std::uint64_t max_archive_bytes = std::uint64_t(2) << 30;
  std::uint64_t max_model_bytes = std::uint64_t(4) << 30;
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
// `archive_path`: each host whose two model files it holds gets them,
// written beside their targets and renamed into place together; any other
// member is refused and logged. Returns the names put in place. Throws for
// an archive that cannot be read or exceeds the caps of `opts`; nothing is
// put in place then.
std::vector<std::string> apply_model_archive(const std::string& models_dir, const std::string& archive_path,
                                             const ExchangeOptions& opts, const LogSink& sink);
}  // namespace detail

}  // namespace tessel::orvik
