#include "orvik/classify/preprocessing.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "core/base/log.h"
#include "core/data/hosts.h"
#include "shared/pyvalues/pyvalue.h"

namespace tessel::orvik {

namespace {

void log(const LogSink& sink, std::string_view level, std::string_view category, const std::string& text) {
  core::log_processing(sink, level, category, text);
}

const std::string* text_vhost(const RequestRecord& r) {
  return r.vhost.is_string() ? &r.vhost.get_ref<const std::string&>() : nullptr;
}

bool listed(const std::vector<std::string>& list, const std::string& s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

// Models, the extra-analysis rule and the staging file of one entry, then
// its classification.
void process_entry(const std::shared_ptr<Nsg>& nsg, RequestTable table, const LockMap& db_processing_lock,
                   const std::string& ml_vhost, const MlHosts& hosts, const ClassifyContext& cc) {
  const LogSink& sink = cc.ctx.sink;
  ClassifyModels models = models_applications(*cc.models, cc.models_dir, hosts.mlvh_list, ml_vhost, sink);
  bool vhost_ai_extra = false;
  if (models.usable()) {
    vhost_ai_extra = hosts.ai_extra;
  } else {
    models = {};
    if (sink.debug) log(sink, "debug", "ml", "Model for " + ml_vhost + " is not loaded, ai_extra will be disabled");
  }
  std::optional<std::string> db_fname;
  if (hosts.db_fnames_dict.is_object()) {
    auto it = hosts.db_fnames_dict.find(ml_vhost);
    if (it != hosts.db_fnames_dict.end() && py_truthy(*it))
      db_fname = it->is_string() ? it->get<std::string>() : py_str(*it);
  }
  ml_processing(nsg, std::move(table), db_processing_lock, ml_vhost, models, vhost_ai_extra, db_fname, cc);
}

}  // namespace

void ml_preprocessing(const std::shared_ptr<Nsg>& nsg, RequestTable dfs, const LockMap& db_processing_lock,
                      const MlHosts& hosts, const ClassifyContext& cc) {
  const LogSink& sink = cc.ctx.sink;
  try {
    if (sink.debug)
      log(sink, "debug", "ml", "ML preprocessing: processing " + std::to_string(dfs.size()) + " request(s)");
    std::vector<char> taken(dfs.size(), 0);
    std::size_t left = dfs.size();
    bool all_vhost = false;
    for (const auto& ml_vhost : hosts.mlvh_list) {
      if (left == 0) break;
      const bool dot = ml_vhost.starts_with(".");
      const bool star_dot = ml_vhost.starts_with("*.");
      // "*" stays in force once seen: the rows no entry takes go to it.
      if (ml_vhost == "*") {
        all_vhost = true;
        continue;
      }
      RequestTable vdf;
      try {
        const std::string www = "www." + ml_vhost;
        const bool take_www = !dot && !star_dot && !listed(hosts.mlvh_list, www);
        const std::string_view bare = dot ? std::string_view(ml_vhost).substr(1) : std::string_view();
        const std::string_view sub = star_dot ? std::string_view(ml_vhost).substr(1) : std::string_view();
        for (std::size_t i = 0; i < dfs.size(); ++i) {
          if (taken[i]) continue;
          const std::string* v = text_vhost(dfs[i]);
          if (!v) continue;
          bool take;
          if (dot) {
            take = *v == bare || v->find(ml_vhost) != std::string::npos;
          } else if (star_dot) {
            take = v->find(sub) != std::string::npos;
          } else {
            take = *v == ml_vhost || (take_www && *v == www);
          }
          if (!take) continue;
          taken[i] = 1;
          --left;
          vdf.push_back(std::move(dfs[i]));
          if (take_www) vdf.back().vhost = ml_vhost;
        }
      } catch (const std::exception& e) {
        log(sink, "error", "ml",
            std::string("An error occurred during preprocessing row in original data: ") + e.what());
      }
      if (vdf.empty()) continue;
      try {
        if (sink.debug)
          log(sink, "debug", "ml",
              "Processing " + std::to_string(vdf.size()) + " request(s) (" + ml_vhost + ") by ML analysis");
        process_entry(nsg, std::move(vdf), db_processing_lock, ml_vhost, hosts, cc);
      } catch (const std::exception& e) {
        log(sink, "error", "ml",
            "An error occurred while processing data for virtual host " + ml_vhost + ": " + e.what());
      }
    }
    if (all_vhost && left > 0) {
      RequestTable rest;
      rest.reserve(left);
      for (std::size_t i = 0; i < dfs.size(); ++i)
        if (!taken[i]) rest.push_back(std::move(dfs[i]));
      try {
        if (sink.debug) log(sink, "debug", "ml", "Processing " + std::to_string(rest.size()) + " request(s) (*)");
        process_entry(nsg, std::move(rest), db_processing_lock, "*", hosts, cc);
      } catch (const std::exception& e) {
        log(sink, "error", "ml",
            std::string("An error occurred while processing data for virtual host *: ") + e.what());
      }
    }
  } catch (const std::exception& e) {
    log(sink, "error", "ml", std::string("An error occurred in ml_preprocessing: ") + e.what());
  }
}

}  // namespace tessel::orvik
