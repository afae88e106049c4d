#include "orvik/training/build.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/base/log.h"
#include "core/data/codec.h"
#include "core/data/columns.h"
#include "core/net/http.h"
#include "core/net/web.h"
#include "ml/forest.h"
#include "ml/model_io.h"
#include "ml/tfidf.h"
#include "orvik/dataset/mt_data.h"
#include "shared/pyvalues/literal_eval.h"
#include "shared/pyvalues/pyjson.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/interrupt.h"
#include "shared/runtime/paths.h"

namespace tessel::orvik {

namespace {

void log(const LogSink& sink, std::string_view level, std::string_view category, const std::string& text) {
  core::log_processing(sink, level, category, text);
}

// A failure of one zone that no retry can mend.
struct ZoneError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A zone whose data holds no normal value: it gets no model on purpose, and
// the model files record it as left out, so classification does not judge it.
struct NothingToLearn : ZoneError {
  NothingToLearn() : ZoneError("no normal values to learn from") {}
};

// The attack samples: the column "attacks" of the reply read as a table
// column by column, each entry as text.
std::vector<std::string> attack_samples(const core::HttpResponse& r) {
  const Json table = json_loads_bytes(r.content);
  if (!table.is_object()) throw std::runtime_error("the attack dataset is not a mapping of columns");
  std::optional<std::size_t> rows;
  for (const auto& [name, column] : table.items()) {
    if (!column.is_array()) continue;
    if (rows && *rows != column.size()) throw std::runtime_error("All arrays must be of the same length");
    rows = column.size();
  }
  const auto attacks = table.find("attacks");
  if (attacks == table.end()) throw std::runtime_error("'attacks'");
  std::vector<std::string> out;
  if (!attacks->is_array()) {
    out.push_back(py_str(*attacks));
    return out;
  }
  out.reserve(attacks->size());
  for (const auto& v : *attacks) out.push_back(py_str(v));
  return out;
}

// Distinct values, first occurrence kept.
void distinct(std::vector<std::string>& values) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(values.size());
  std::vector<std::string> out;
  out.reserve(values.size());
  for (auto& v : values)
    if (seen.insert(v).second) out.push_back(v);
  values = std::move(out);
}

bool is_kv_zone(const std::string& z) {
  const auto& kv = core::kv_zone();
  return std::find(kv.begin(), kv.end(), z) != kv.end();
}

struct ZoneModel {
  ml::TfidfVectorizer vect;
  ml::RandomForestClassifier rf;
};

// Repeats `step` after a pause while it fails for a reason other than a
// ZoneError, at most `attempts` times; the last failure is a ZoneError.
template <class Fn>
void with_retries(const BuildOptions& opts, const std::string& error_text, const LogSink& sink, Fn&& step) {
  for (int attempt = 1;; ++attempt) {
    try {
      step();
      return;
    } catch (const ZoneError&) {
      throw;
    } catch (const std::exception& e) {
      log(sink, "error", "ml", error_text + e.what());
      if (attempt >= opts.zone_attempts) throw ZoneError(e.what());
      if (sleep_or_stop(opts.retry_pause, opts.stop)) throw ZoneError("the service stops");
    }
  }
}

ZoneModel build_zone(const std::string& z, std::vector<std::string> td, const std::vector<std::string>& bl,
                     const Json& wl, const MtData::Hosts& mt_data, std::int64_t dataset_limit, const BuildOptions& opts,
                     const LogSink& sink) {
  const std::string zn = core::zone_replace(z);  // the zone as messages name it
  log(sink, "info", "ml", "Building the behavioral model for zone " + zn);
  log(sink, "info", "ml", "Data size for zone " + zn + ": " + std::to_string(td.size()) + " entry(s)");
  const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(dataset_limit, 0));
  if (td.size() > limit) {
    distinct(td);
    log(sink, "info", "ml",
        "Data reduced (duplicates removed) for zone " + zn + ": " + std::to_string(td.size()) + " entry(s)");
  }
  if (td.size() > limit) {
    td.erase(td.begin(), td.end() - static_cast<std::ptrdiff_t>(limit));
    log(sink, "info", "ml",
        "Data reduced (size limited) for zone " + zn + ": " + std::to_string(td.size()) + " entry(s)");
  }

  if (is_kv_zone(z)) {
    std::vector<std::string> rtd;
    try {
      log(sink, "info", "ml", "Splitting data for zone " + zn);
      for (const std::string& s : td) {
        std::size_t pos = 0;
        while (true) {
          const std::size_t end = s.find("\r\n", pos);
          const std::size_t stop = end == std::string::npos ? s.size() : end;
          if (stop > pos) rtd.emplace_back(s, pos, stop - pos);
          if (end == std::string::npos) break;
          pos = end + 2;
        }
      }
    } catch (const std::exception& e) {
      log(sink, "error", "parsing",
          "An error occurred while splitting the data in the training set for zone " + zn + ": " + e.what());
    }
    if (rtd.size() > limit) {
      log(sink, "info", "ml",
          "The split data for zone " + zn + " is too large: " + std::to_string(rtd.size()) +
              " entry(s), removing duplicates");
      distinct(rtd);
      log(sink, "info", "ml",
          "The split data for reduced (duplicates removed) for zone " + zn + ": " + std::to_string(rtd.size()) +
              " entry(s)");
    }
    if (!rtd.empty()) td = std::move(rtd);
  }

  std::vector<std::string> zwl;
  for (const auto& [entry, zones] : mt_data) {
    const auto values = zones.find(z);
    if (values != zones.end()) zwl.insert(zwl.end(), values->second.begin(), values->second.end());
  }
  if (!zwl.empty())
    log(sink, "info", "ml",
        std::to_string(zwl.size()) + " exported from Corvane WAF MT FP dataset added to common WL dataset for zone " +
            zn);
  if (wl.is_object()) {
    const auto values = wl.find(z);
    if (values != wl.end()) {
      if (!values->is_array()) throw std::runtime_error("the white-list values of zone " + zn + " are not a list");
      for (const auto& v : *values)
        if (py_truthy(v)) zwl.push_back(v.is_string() ? v.get<std::string>() : py_str(v));
      log(sink, "info", "ml",
          std::to_string(values->size()) + " WL dataset has been added to common WL dataset for zone " + zn);
    }
  }
  std::vector<std::string> all_data;
  std::vector<std::int64_t> y;
  all_data.reserve(bl.size() + td.size() + zwl.size());
  all_data.insert(all_data.end(), bl.begin(), bl.end());
  std::size_t normals = 0;
  for (auto* part : {&td, &zwl}) {
    for (auto& v : *part) {
      if (v.empty()) continue;
      all_data.push_back(std::move(v));
      ++normals;
    }
    part->clear();
    part->shrink_to_fit();
  }
  log(sink, "info", "ml", "Common traffic data size for zone " + zn + ": " + std::to_string(normals) + " entry(s)");
  // A forest that never saw a normal value flags every value of the zone.
  if (normals == 0) throw NothingToLearn();
  y.assign(bl.size(), 1);
  y.resize(all_data.size(), 0);

  ZoneModel m;
  ml::CsrMatrix x;
  with_retries(opts, "An error occurred while vectorizing data for zone " + zn + ": ", sink, [&] {
    log(sink, "info", "ml", "Data vectorization for zone " + zn);
    m.vect = ml::TfidfVectorizer();
    try {
      x = m.vect.fit_transform(all_data, opts.n_jobs);
    } catch (const std::invalid_argument& e) {
      throw ZoneError(e.what());  // no n-gram at all: the same every time
    }
    log(sink, "info", "ml", "Vectorization completed for zone " + zn);
    log(sink, "info", "ml",
        "Number of samples for zone " + zn + ": " + std::to_string(x.n_rows) +
            ", number of features: " + std::to_string(x.n_cols));
  });
  all_data.clear();
  all_data.shrink_to_fit();
  with_retries(opts, "An error occurred while building behavioral model for zone " + zn + ": ", sink, [&] {
    log(sink, "info", "ml", "Building behavioral model for zone " + zn);
    m.rf = ml::RandomForestClassifier(100, 1);
    m.rf.fit(x, y, opts.n_jobs);
    const std::vector<std::int64_t> y_pred = m.rf.predict(x, opts.n_jobs);
    std::int64_t fp = 0, fn = 0;
    for (std::size_t i = 0; i < y.size(); ++i) {
      const std::int64_t d = y[i] - y_pred[i];
      fp += d < 0;
      fn += d > 0;
    }
    log(sink, "info", "ml",
        "Model accuracy for zone " + zn + ": " + py_repr_float(ml::accuracy_score(y, y_pred) * 100) +
            "% (FP: " + std::to_string(fp) + ", FN: " + std::to_string(fn) + ")");
  });
  return m;
}

}  // namespace

MtData::Hosts select_exported_fp(const MtData::Hosts& mt_data, const std::string& ml_vhost) {
  MtData::Hosts out;
  if (ml_vhost == "*") return out;
  for (const auto& [entry, zones] : mt_data) {
    bool take = false;
    if (ml_vhost.starts_with(".")) {
      take = entry == ml_vhost.substr(1) || entry.find(ml_vhost) != std::string::npos;
    } else if (ml_vhost.starts_with("*.")) {
      take = entry.find(ml_vhost.substr(1)) != std::string::npos;
    } else {
      take = entry == ml_vhost;
    }
    if (take) out[entry] = zones;
  }
  return out;
}

bool tessel_models_build(const std::string& models_dir, std::int64_t dataset_limit, const std::string& ml_vhost,
                         const std::string& vhost, DatasetData training_data, const std::string& get_mt_hash_url,
                         const std::string& get_mt_data_url, const core::DatasetUrls& datasets,
                         const core::ApiContext& api, const std::string& mt_fname, const LogSink& sink,
                         const BuildOptions& opts) {
  log(sink, "info", "ml", "Building behavioral model for virtual host " + ml_vhost);
  const core::RequestOptions options = core::request_options(api, core::Route::outside, true);

  std::vector<std::string> bl;
  while (true) {
    try {
      bl = attack_samples(core::init_session().get(datasets.bl_dataset_url, options));
      log(sink, "info", "ml", "BL dataset for all zones has been received: " + std::to_string(bl.size()) + " entry(s)");
      break;
    } catch (const std::exception& e) {
      const std::string what = std::string("An error occurred while receiving attack dataset: ") + e.what();
      log(sink, "error", core::is_network_error(what) ? "network" : "ml", what);
    }
    if (sleep_or_stop(opts.retry_pause, opts.stop)) return false;
  }

  Json wl;
  while (true) {
    try {
      const core::HttpResponse r = core::init_session().get(datasets.wl_dataset_url, options);
      wl = literal_eval(core::b64d(std::string_view(r.content), false, sink));
      if (!wl.is_object())
        throw std::runtime_error("the WL dataset is not a mapping: " + std::string(py_type_name(wl)));
      log(sink, "info", "ml", "WL dataset received for " + std::to_string(wl.size()) + " zone(s)");
      break;
    } catch (const std::exception& e) {
      const std::string what = std::string("An error occurred while receiving WL dataset: ") + e.what();
      log(sink, "error", core::is_network_error(what) ? "network" : "api", what);
    }
    if (sleep_or_stop(opts.retry_pause, opts.stop)) return false;
  }

  MtData::Hosts mt_data;
  try {
    mt_data_get(mt_fname, "", get_mt_hash_url, get_mt_data_url, api, sink);
    mt_data = select_exported_fp(mt_data_load(mt_fname, sink).hosts(), ml_vhost);
    if (!mt_data.empty()) log(sink, "info", "ml", "Exported FP received for virtual host " + ml_vhost);
  } catch (const std::exception& e) {
    log(sink, "error", "api", std::string("An error occurred while receiving data from Corvane WAF MT: ") + e.what());
  }

  ml::ForestMap rf_models;
  ml::VectorizerMap vect_models;
  std::vector<std::string> missing;
  ml::ZoneNames left_out;
  for (const auto& z : core::zones()) {
    try {
      const auto values = training_data.find(z);
      if (values == training_data.end()) throw std::runtime_error("'" + z + "'");
      ZoneModel m = build_zone(z, std::move(values->second), bl, wl, mt_data, dataset_limit, opts, sink);
      rf_models.emplace(z, std::move(m.rf));
      vect_models.emplace(z, std::move(m.vect));
    } catch (const std::exception& e) {
      log(sink, "error", "ml",
          "An error occurred while building behavioral model for zone " + core::zone_replace(z) + ": " + e.what());
      missing.push_back(z);
      if (dynamic_cast<const NothingToLearn*>(&e)) left_out.push_back(z);
    }
  }
  if (opts.stop.stop_requested()) return false;
  std::sort(left_out.begin(), left_out.end());

  try {
    ml::save_file(ml::ZoneModels(std::move(rf_models)), path_join(models_dir, vhost + "_rf.ml"), left_out);
    ml::save_file(ml::ZoneModels(std::move(vect_models)), path_join(models_dir, vhost + "_vect.ml"), left_out);
    log(sink, "info", "ml", "Model for virtual host " + ml_vhost + " created successfully");
  } catch (const std::exception& e) {
    log(sink, "error", "ml",
        "An error occurred while building behavioral model for virtual host " + ml_vhost + ": " + e.what());
    return false;
  }
  if (!missing.empty()) {
    Json zones = Json::array();
    for (const auto& z : missing) zones.push_back(z);
    log(sink, "error", "ml",
        "No behavioral model was built for virtual host " + ml_vhost + " in zone(s): " + py_repr(zones));
  }
  return true;
}

}  // namespace tessel::orvik
