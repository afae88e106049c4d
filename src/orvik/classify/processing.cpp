#include "orvik/classify/processing.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/net/broker_publish.h"
#include "core/workers/overload.h"
#include "orvik/classify/wl_zone.h"
#include "orvik/classify/zones.h"
#include "shared/pyvalues/pytext.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::orvik {

namespace {

constexpr std::string_view kCrlf = "\r\n";

// The field of zone `z`; std::out_of_range naming the zone when it names none.
std::string& zone_value(RequestRecord& rec, const std::string& z) {
  std::string* f = zone_field(rec, z);
  if (!f) throw std::out_of_range(py_repr_str(z));
  return *f;
}

// Distinct values in first-occurrence order into out, empty ones left out
// when asked.
template <class T>
void distinct_into(const std::vector<T>& values, bool drop_empty, std::vector<std::string_view>& out) {
  // A zone holds a few values as a rule: a scan beats hashing them.
  constexpr std::size_t kScanMax = 32;
  out.clear();
  out.reserve(values.size());
  std::unordered_set<std::string_view> seen;
  const bool scan = values.size() <= kScanMax;
  for (const auto& v : values) {
    std::string_view sv(v);
    if (drop_empty && sv.empty()) continue;
    if (scan ? std::find(out.begin(), out.end(), sv) == out.end() : seen.insert(sv).second) out.push_back(sv);
  }
}

template <class T>
std::vector<std::string_view> distinct(const std::vector<T>& values, bool drop_empty) {
  std::vector<std::string_view> out;
  distinct_into(values, drop_empty, out);
  return out;
}

template <class T>
std::string join(const std::vector<T>& parts, std::string_view sep) {
  std::size_t n = parts.empty() ? 0 : sep.size() * (parts.size() - 1);
  for (const auto& p : parts) n += std::string_view(p).size();
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out.append(sep);
    out.append(std::string_view(parts[i]));
  }
  return out;
}

bool is_kv_zone(std::string_view z) {
  for (const auto& k : core::kv_zone())
    if (k == z) return true;
  return false;
}

std::int64_t now_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void log(const LogSink& sink, std::string_view level, std::string_view category, const std::string& text) {
  core::log_processing(sink, level, category, text);
}

// Calls fn(piece) for each piece of s between "\r\n"; "" gives one empty
// piece.
template <class Fn>
void for_each_crlf_piece(std::string_view s, Fn&& fn) {
  for (std::size_t pos = 0;;) {
    const std::size_t next = s.find(kCrlf, pos);
    if (next == std::string_view::npos) {
      fn(s.substr(pos));
      return;
    }
    fn(s.substr(pos, next - pos));
    pos = next + kCrlf.size();
  }
}

// One zone of one record through the normalisation of the classification
// path: lines (body lines cut into pieces), zone normalisation, distinct
// values stripped and longer than 3 code points. The buffers are kept per
// thread; values the zone normalisation leaves alone are not copied.
std::string normalize_zone(std::string_view value, std::string_view z, const LogSink& sink) {
  thread_local std::vector<std::string_view> pieces;
  thread_local std::vector<std::string> owned;
  thread_local std::vector<std::string_view> unique, kept;
  pieces.clear();
  if (is_kv_zone(z)) {
    const bool body = z == "body";
    for_each_crlf_piece(value, [&](std::string_view line) {
      line = py_strip(line);
      if (body && line.size() > core::max_body_chunk_ai && py_len(line) > core::max_body_chunk_ai) {
        while (!line.empty()) {
          const std::string_view piece = py_slice(line, 0, static_cast<std::ptrdiff_t>(core::max_body_chunk_ai));
          pieces.push_back(piece);
          line.remove_prefix(piece.size());
        }
      } else {
        pieces.push_back(line);
      }
    });
  } else {
    pieces.push_back(py_strip(value));
  }
  if (ml_data_normalization_changes(z)) {
    // The strings keep their room from call to call.
    owned.resize(pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) owned[i].assign(pieces[i]);
    ml_data_normalization(owned, z, sink);
    for (std::size_t i = 0; i < pieces.size(); ++i) pieces[i] = owned[i];
  }
  distinct_into(pieces, false, unique);
  kept.clear();
  for (std::string_view v : unique) {
    v = py_strip(v);
    if (v.size() > 3 && py_len(v) > 3) kept.push_back(v);
  }
  return join(kept, kCrlf);
}

struct Call {
  const ClassifyContext& cc;
  const std::string& ml_vhost;
  const ClassifyModels& models;
  bool is_training;
  bool is_predicting;
  const LogSink& sink;
  FpStep fp_step;
  RequestTable training_data;
  RequestTable attack_data;
  // The zone values of the record in hand as received, by zone index; a
  // value is kept once its field is about to change.
  std::vector<std::string> orig;
  std::vector<bool> orig_kept;
  // The lines of the zone in hand.
  std::vector<std::string_view> lines;

  void keep_orig(std::size_t i, std::string value) {
    orig[i] = std::move(value);
    orig_kept[i] = true;
  }

  void normalization_pass(RequestRecord& rec, const std::string& rid, bool ws) {
    const auto& zones = core::zones();
    for (std::size_t i = 0; i < zones.size(); ++i) {
      const std::string& z = zones[i];
      try {
        std::string& f = zone_value(rec, z);
        if (f.empty() || (ws && z != "body")) continue;
        try {
          std::string normalized = normalize_zone(f, z, sink);
          keep_orig(i, std::exchange(f, std::move(normalized)));
        } catch (const std::exception& e) {
          log(sink, "error", "parsing", std::string("An error occurred while data normalization: ") + e.what());
        }
      } catch (const std::exception& e) {
        log(sink, "error", "parsing",
            "An error occurred while normalizing data in request " + rid + " in zone " + core::zone_replace(z) + ": " +
                e.what());
      }
    }
  }

  // Returns ml_r; fills ml_z.
  int analysis_pass(RequestRecord& rec, const std::string& rid, const std::string& vh, std::vector<std::string>& ml_z) {
    int ml_r = 0;
    const auto& zones = core::zones();
    for (std::size_t i = 0; i < zones.size(); ++i) {
      const std::string& z = zones[i];
      try {
        std::string& f = zone_value(rec, z);
        int flag = 0;
        std::vector<std::string_view> collected;
        auto rf = models.models.rf->find(z);
        auto vect = models.models.vect->find(z);
        if (rf == models.models.rf->end() || vect == models.models.vect->end()) {
          // Left out when the models were built (logged once per load): not judged.
          if (models.models.left_out_zone(z)) continue;
          log(sink, "error", "ml",
              "An error occurred while processing request " + rid + " (" + vh + ") by behavioral model in zone " +
                  core::zone_replace(z) + ": " + py_repr_str(z));
          continue;
        }
        // An empty value is white-listed whatever the model says.
        if (f.empty()) continue;
        lines.clear();
        for_each_crlf_piece(f, [&](std::string_view line) { lines.push_back(line); });
        try {
          std::vector<std::string_view> flagged;
          AnalysisResult result =
              ml_analysis(rf->second, vect->second, rec.request_id, rec.vhost, z, lines, sink, models.cache.get());
          if (result.res) {
            try {
              const std::int64_t t0 = now_seconds();
              for (std::string_view v : result.res_list)
                if (!ml_wl_zone(v, z)) flagged.push_back(v);
              const std::int64_t dt = now_seconds() - t0;
              if (dt > 1)
                log(sink, "warn", "ml",
                    "Applying WL to request " + rid + " (" + vh + ") in zone " + core::zone_replace(z) + " was " +
                        std::to_string(dt) + " sec.");
            } catch (const std::exception& e) {
              // Fail closed: a white list that cannot answer clears nothing.
              flagged = result.res_list;
              log(sink, "error", "ml",
                  "An error occurred while applying WL to request " + rid + " (" + vh + ") in zone " +
                      core::zone_replace(z) + ": " + e.what());
            }
          }
          if (result.res && !flagged.empty()) {
            flag = 1;
            collected.insert(collected.end(), flagged.begin(), flagged.end());
            ml_z.push_back(z);
          }
        } catch (const std::exception& e) {
          log(sink, "error", "ml",
              "An error occurred while processing request " + rid + " (" + vh + ") by behavioral model in zone " +
                  core::zone_replace(z) + ": " + e.what());
        }
        if (flag == 1) {
          ml_r = 1;
          std::vector<std::string> z_distinct;
          for (auto sv : distinct(ml_z, true)) z_distinct.emplace_back(sv);
          ml_z = std::move(z_distinct);
          const auto values = distinct(collected, true);
          if (!values.empty()) {
            std::string joined = join(values, kCrlf);
            // The views die with the old text here.
            if (orig_kept[i])
              f = std::move(joined);
            else
              keep_orig(i, std::exchange(f, std::move(joined)));
          }
          log(sink, "info", "ml",
              "Analysis of request " + rid + " (" + vh + ") is completed in zone " + core::zone_replace(z) +
                  ": anomaly detected");
        }
      } catch (const std::exception& e) {
        log(sink, "error", "ml",
            "An error occurred while processing request " + rid + " in zone " + core::zone_replace(z) + ": " +
                e.what());
      }
    }
    return ml_r;
  }

  void verdict(RequestRecord& rec, const std::string& rid, const std::string& vh, int ml_r,
               std::vector<std::string>& ml_z) {
    try {
      std::vector<std::string> z_distinct;
      for (auto sv : distinct(ml_z, true)) z_distinct.emplace_back(sv);
      ml_z = std::move(z_distinct);
      if (ml_r == 1) {
        rec.bt = 12;
        if (ml_z.empty())
          log(sink, "error", "ml",
              "An error occurred while applying exported FP data to request " + rid + ": received request without MZ");
        rec.mz = join(ml_z, "|");
      } else {
        rec.bt = 0;
        rec.mz = "";
      }
    } catch (const std::exception& e) {
      log(sink, "error", "ml", "An error occurred while processing request " + rid + " (" + vh + "): " + e.what());
    }
  }

  void complete(RequestRecord&& r, const std::vector<std::string>& ml_z) {
    const auto& zones = core::zones();
    for (std::size_t i = 0; i < zones.size(); ++i) {
      std::string* f = zone_field(r, zones[i]);
      if (f && f->empty() && orig_kept[i]) *f = std::move(orig[i]);
    }
    std::vector<std::string> parts;
    const std::string mz = r.mz.is_string() ? r.mz.get<std::string>() : py_str(r.mz);
    for (std::string_view p : split_mz(mz)) {
      std::string l = py_lower(p);
      parts.push_back(l == "url" ? std::string("uri") : std::move(l));
    }
    r.mz = join(parts, "|");
    r.extras["mz_origin"] = mz_origin_gen(r, ml_z, r.request_id, sink);
    r.jbody = "";
    attack_data.push_back(std::move(r));
  }

  static std::vector<std::string_view> split_mz(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while (true) {
      const std::size_t next = s.find('|', pos);
      out.push_back(s.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos));
      if (next == std::string_view::npos) return out;
      pos = next + 1;
    }
  }

  void route(RequestRecord& rec, const std::string& vh, int ml_r, std::vector<std::string>& ml_z) {
    PeBt pe = PeBt::not_run;
    if (ml_r != 0 && !ml_z.empty() && fp_step) {
      // The step may rewrite any zone value.
      const auto& zones = core::zones();
      for (std::size_t i = 0; i < zones.size(); ++i)
        if (const std::string* f = zone_field(rec, zones[i]); f && !orig_kept[i]) keep_orig(i, *f);
      pe = fp_step(rec, ml_vhost, vh, ml_z);
    }
    switch (pe) {
      case PeBt::not_run:
        if (rec.bt == 0) {
          rec.mz = "";
          if (is_training) training_data.push_back(std::move(rec));
        } else if (rec.bt == 12) {
          rec.mz = join(ml_z, "|");
          complete(std::move(rec), ml_z);
        }
        break;
      case PeBt::cleared:
        rec.bt = 0;
        rec.mz = "";
        if (is_training) training_data.push_back(std::move(rec));
        break;
      case PeBt::remains:
        complete(std::move(rec), ml_z);
        break;
      case PeBt::other:
        break;
    }
  }

  void record(RequestRecord& rec) {
    if (rec.request_id.is_null()) throw std::out_of_range("'request_id'");
    const std::string rid = py_str(rec.request_id);
    const std::string vh = py_str(rec.vhost);
    const bool ws = rec.request_type.is_string() && rec.request_type.get_ref<const std::string&>() == "ws";
    orig.resize(core::zones().size());
    orig_kept.assign(core::zones().size(), false);
    normalization_pass(rec, rid, ws);
    if (!is_predicting) {
      if (is_training) {
        try {
          training_data.push_back(std::move(rec));
        } catch (const std::exception&) {
          log(sink, "error", "ml", "An error occurred while adding request to training dataset");
        }
      }
      return;
    }
    std::vector<std::string> ml_z;
    const int ml_r = analysis_pass(rec, rid, vh, ml_z);
    verdict(rec, rid, vh, ml_r, ml_z);
    route(rec, vh, ml_r, ml_z);
  }

  void stage(const LockMap& db_processing_lock, const std::string& db_fname) {
    for (auto& r : training_data) {
      for (const auto& frag : core::bin_content_type())
        if (r.content_type.find(frag) != std::string::npos) r.body.clear();
      // Only the staged columns (core::vexa_columns()).
      r.orig_zone_data.clear();
      r.extras = Json::object();
    }
    if (cc.services.put_data_into_db)
      cc.services.put_data_into_db(training_data, db_processing_lock, ml_vhost, db_fname, sink);
  }
};

}  // namespace

void ml_processing(const std::shared_ptr<Nsg>& nsg, RequestTable data, const LockMap& db_processing_lock,
                   const std::string& ml_vhost, const ClassifyModels& models, bool vhost_ai_extra,
                   const std::optional<std::string>& db_fname, const ClassifyContext& cc) {
  const LogSink& sink = cc.ctx.sink;
  const bool is_training = db_fname.has_value() && !db_fname->empty();
  const bool is_predicting = vhost_ai_extra && models.usable();
  Call call{cc, ml_vhost, models, is_training, is_predicting, sink, {}, {}, {}, {}, {}, {}};
  try {
    if (nsg) core::is_hw_overload(*nsg);
    if (!vhost_ai_extra && !is_training) return;
    if (is_predicting && cc.services.mt_data_load) call.fp_step = cc.services.mt_data_load(cc.mt_fname, sink);
    for (auto& rec : data) {
      try {
        call.record(rec);
      } catch (const std::exception& e) {
        log(sink, "error", "ml", std::string("An error occurred while predicting the data: ") + e.what());
      }
    }
    data.clear();
  } catch (const std::exception& e) {
    log(sink, "error", "ml", std::string("An error occurred in dfs_processing: ") + e.what());
    return;
  }
  // Staging and the attack hand-over fail separately: a staging failure
  // does not lose the detected attacks.
  if (!call.training_data.empty()) {
    try {
      call.stage(db_processing_lock, *db_fname);
    } catch (const std::exception& e) {
      log(sink, "error", "ml", std::string("An error occurred in dfs_processing: ") + e.what());
    }
  }
  if (!call.attack_data.empty()) {
    try {
      ml_attack_processing(std::move(call.attack_data), cc);
    } catch (const std::exception& e) {
      log(sink, "error", "ml", std::string("An error occurred in dfs_processing: ") + e.what());
    }
  }
}

void ml_attack_processing(RequestTable dfs, const ClassifyContext& cc) {
  const LogSink& sink = cc.ctx.sink;
  if (dfs.empty()) return;
  try {
    // The columns of core::tessel_df_columns(): the record columns without
    // orig_zone_data, then the added ones, which every row must carry.
    std::vector<std::string> added;
    for (const auto& c : core::tessel_df_columns()) {
      bool record_column = false;
      for (const auto& rc : request_record_columns()) record_column |= rc == c;
      if (!record_column) added.push_back(c);
    }
    for (auto& p : dfs) {
      Json extras = Json::object();
      for (const auto& c : added) {
        auto it = p.extras.find(c);
        if (it == p.extras.end()) throw std::out_of_range("\"['" + c + "'] not in index\"");
        extras[c] = std::move(*it);
      }
      p.orig_zone_data.clear();
      p.extras = std::move(extras);
    }
    RequestTable t = std::move(dfs);
    cc.ctx.queues.q_mt_api->put(RequestTable(t));
    // A broker that cannot take the rows does not keep them from the
    // management API: the publisher logs its failure and the report goes on.
    try {
      if (cc.services.rmq_bt_processing) {
        Json rows = Json::array();
        for (const auto& p : t) {
          Json row = Json::object();
          Json full = record_to_json(p);
          for (const auto& c : core::tessel_df_columns()) row[c] = std::move(full[c]);
          rows.push_back(std::move(row));
        }
        cc.services.rmq_bt_processing(rows, kMachineLearning, cc.ctx.rmq_rc_param_list, cc.ctx.tessel_rmq_q, sink);
      }
    } catch (const std::exception& e) {
      log(sink, "error", "ml", std::string("An error occurred in ml_attack_processing: ") + e.what());
    }
    for (auto& p : t) {
      p.extras["possible"] = false;
      p.extras["description"] = "Corvane AI TESSEL";
    }
    cc.ctx.queues.q_attack_api->put(AttackReport{std::move(t), kMachineLearning, {"orig_zone_data"}});
  } catch (const std::exception& e) {
    log(sink, "error", "ml", std::string("An error occurred in ml_attack_processing: ") + e.what());
  }
}

}  // namespace tessel::orvik
