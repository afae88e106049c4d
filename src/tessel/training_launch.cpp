// One training process per protected host, then the classification host.
#include <optional>

#include "core/base/log.h"
#include "core/data/hosts.h"
#include "shared/pyvalues/pyvalue.h"
#include "tessel/run.h"

namespace tessel::svc {

void Service::start_training() {
  Json db_fnames_dict = Json::object();
  for (const auto& ml_vhost : settings_.mlvh_list) {
    db_processing_lock_[ml_vhost] = std::make_shared<ProcessLock>();
    const std::string vhost = core::vhost_normalization(ml_vhost, run_.sink);
    std::int64_t training_ts = 0;
    const auto [remote_retraining_complete, remote_training_period_days] = subs_.get_training_status(
        run_.endpoints.get_training_url, ml_vhost, training_period_days_default_, run_.api, run_.sink);
    if (remote_retraining_complete == false) training_ts = now();
    // Each host starts from the default; only a number (not a boolean) of
    // days is taken.
    Json training_period_days = training_period_days_default_;
    if (remote_training_period_days.is_number() && remote_training_period_days != 0) {
      training_period_days = remote_training_period_days;
    }
    if (training_period_days.get<double>() < 1) {
      log("error", "settings",
          "The training period for virtual host " + ml_vhost +
              " cannot be less than 1 day, use the default value: " + std::to_string(training_period_days_default_));
      training_period_days = training_period_days_default_;
    }
    const double training_period = training_period_days.get<double>() * opts_.day_seconds;
    log("info", "settings",
        "Training period for virtual host " + ml_vhost + ": " + py_str(training_period_days) + " day(s)");

    std::optional<std::string> db_fname;
    const std::string ml_fnames = path_join(run_.paths.models_dir, vhost + "*.ml");
    const std::string db_fnames = path_join(run_.paths.models_dir, vhost + "*.db");
    // Only the host's own files count: no other host's name shares them.
    const bool no_ml_files = core::host_model_files(run_.paths.models_dir, vhost).size() < 2;
    if (no_ml_files || training_ts != 0) {
      try {
        if (training_ts == 0) {
          training_ts = now();
          if (run_.sink.debug) {
            log("debug", "ml",
                "Training conditions for virtual host " + ml_vhost +
                    ": behavior model files are missing (less than 2); training_ts: " + std::to_string(training_ts) +
                    ";");
          }
        }
        const auto staging = core::host_staging_files(run_.paths.models_dir, vhost);
        db_fname = staging.empty() ? path_join(run_.paths.models_dir, vhost + "_" + std::to_string(training_ts) + ".db")
                                   : staging.front();
        db_fnames_dict[ml_vhost] = *db_fname;
        log("info", "ml", "Using SQLite file for virtual host " + ml_vhost + ": " + *db_fname);
      } catch (const std::exception&) {
        log("error", "os", "An error occurred while processing SQLite file name for virtual host " + ml_vhost);
      }
    }

    orvik::MlCoreArgs args;
    args.nsg = run_nsg_;
    args.mls = mls_;
    args.distributed_mode = distributed_mode_;
    args.db_processing_lock = db_processing_lock_;
    args.training_lock = training_lock_;
    args.db_fname = db_fname;
    args.ml_fnames = ml_fnames;
    args.db_fnames = db_fnames;
    args.ml_vhost = ml_vhost;
    args.vhost = vhost;
    args.dataset_limit = dataset_limit_;
    args.training_period = training_period;
    args.training_period_days = training_period_days;
    args.training_period_days_default = training_period_days_default_;
    args.run = run_;
    args.pauses = opts_.training_pauses;
    auto child =
        start_worker("ml_core", [f = subs_.ml_core, args = std::move(args)](const std::stop_token& st) mutable {
          args.stop = st;
          f(args);
        });
    log_started("ml_core", child);
  }
  ml_m_ = subs_.make_mlm(db_fnames_dict, run_.paths.models_dir, settings_.ai_extra, settings_.mlvh_list,
                         run_.paths.mt_fname, run_);
}

}  // namespace tessel::svc
