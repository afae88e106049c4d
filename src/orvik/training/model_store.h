#pragma once
// A host's model files in the model directory: loading them for
// classification and their digests.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace tessel::orvik
