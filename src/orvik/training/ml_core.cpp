#include "orvik/training/ml_core.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/base/log.h"
#include "core/data/columns.h"
#include "core/data/hosts.h"
#include "core/net/mls.h"
#include "orvik/dataset/dataset_file.h"
#include "orvik/dataset/db_processing.h"
#include "orvik/dataset/staging.h"
#include "orvik/training/build.h"
#include "orvik/training/model_exchange.h"
#include "orvik/training/training_state.h"
#include "shared/pyvalues/pyvalue.h"
#include "shared/runtime/interrupt.h"
#include "shared/runtime/paths.h"

namespace tessel::orvik {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kMoveThreshold = 200000;  // staged rows that are moved at once
constexpr std::size_t kMinDataSize = 25;         // values one zone must hold at the end

const std::string kRestartText = "Restart signal received, waiting for service restart";

// Ends the training process: the service stops, or a restart is pending.
struct ProcessEnd {};

class Training {
 public:
  explicit Training(const MlCoreArgs& a)
      : a_(a),
        sink_(a.run.sink),
        paths_(a.run.paths),
        d_fname_(path_join(paths_.models_dir, a.vhost + ".d")),
        d_fname_bak_(path_join(paths_.backup_dir, a.vhost + ".d_" + std::to_string(unix_seconds()))) {}

  void run();

 private:
  static std::int64_t unix_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void log(std::string_view level, std::string_view category, const std::string& text) const {
    core::log_processing(sink_, level, category, text);
  }
  // Waits `d`; the process ends when the service stops meanwhile.
  void pause(std::chrono::milliseconds d) const {
    if (sleep_or_stop(d, a_.stop)) throw ProcessEnd{};
  }
  // The restart wait: one pause, then the process ends.
  [[noreturn]] void restart_wait() const {
    pause(a_.pauses.restart_wait);
    throw ProcessEnd{};
  }
  void ask_restart() const {
    a_.nsg->set_restart_signal(true);
    log("warn", "os", kRestartText);
  }
  void remove_staging_file() const {
    std::error_code ec;
    fs::remove(*a_.db_fname, ec);
  }

  std::int64_t start_time() const;
  void collect();
  void end_of_period();
  void model_stage(const DatasetData& training_data);
  void trained();

  const MlCoreArgs& a_;
  const LogSink& sink_;
  const Paths& paths_;
  const std::string d_fname_;
  const std::string d_fname_bak_;
};

// The collection start: the number in the staging file's name.
std::int64_t Training::start_time() const {
  std::string rest = *a_.db_fname;
  auto remove_all = [&rest](const std::string& what) {
    if (what.empty()) return;
    for (std::size_t p; (p = rest.find(what)) != std::string::npos;) rest.erase(p, what.size());
  };
  remove_all(path_join(paths_.models_dir, a_.vhost));
  remove_all("_");
  remove_all("^");
  remove_all(".db");
  const bool digits =
      !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || rest.size() > 18)
    throw std::runtime_error("invalid literal for int() with base 10: " + py_repr_str(rest));
  return std::stoll(rest);
}

void Training::collect() {
  const std::int64_t btime = start_time();
  if (!(a_.training_period > 0)) throw std::runtime_error("float division by zero");
  DbProcessingArgs update;
  update.nsg = a_.nsg;
  update.sharing = dataset_sharing(a_.mls, a_.distributed_mode);
  update.set_mls_data_url = a_.run.endpoints.set_mls_data_url;
  update.get_mls_data_url = a_.run.endpoints.get_mls_data_url;
  update.del_mls_data_url = a_.run.endpoints.del_mls_data_url;
  update.db_processing_lock = a_.db_processing_lock;
  update.ml_vhost = a_.ml_vhost;
  update.dataset_limit = a_.dataset_limit;
  update.db_fname = *a_.db_fname;
  update.d_fname = d_fname_;
  update.api = a_.run.api;
  update.sink = sink_;
  Json training_period_days = a_.training_period_days;
  while (true) {
    const auto [remote_complete, remote_days] = get_training_status(a_.run.endpoints.get_training_url, a_.ml_vhost,
                                                                    a_.training_period_days_default, a_.run.api, sink_);
    if (py_truthy(remote_days) && !py_equal(remote_days, training_period_days)) {
      training_period_days = remote_days;
      log("info", "ml",
          "The training period for virtual host " + a_.ml_vhost + " has been updated: " + py_str(remote_days) +
              " day(s)");
    }
    if (remote_complete.value_or(false) && core::host_model_files(paths_.models_dir, a_.vhost).size() >= 2) {
      log("warn", "ml",
          "Training is interrupted because the status for virtual host " + a_.vhost + " changed to completed");
      ask_restart();
    }
    if (a_.nsg->restart_signal()) restart_wait();
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::int64_t training_pcnt =
        static_cast<std::int64_t>(std::trunc((now - static_cast<double>(btime)) / a_.training_period * 100));
    if (training_pcnt > 100) training_pcnt = 100;
    if (sink_.debug)
      log("debug", "ml",
          "Current training progress for virtual host " + a_.ml_vhost + ": " + std::to_string(training_pcnt) + "%");
    set_training_progress_status(a_.run.endpoints.set_training_progress_url, a_.ml_vhost, training_pcnt, a_.run.api,
                                 sink_);
    std::error_code ec;
    if (!fs::exists(*a_.db_fname, ec)) {
      put_data_into_db(RequestTable{}, a_.db_processing_lock, a_.ml_vhost, *a_.db_fname, sink_);
      pause(a_.pauses.retry);
      continue;
    }
    std::int64_t row_cnt = 0;
    {
      const auto lock = a_.db_processing_lock.find(a_.ml_vhost);
      if (lock == a_.db_processing_lock.end() || !lock->second)
        throw std::runtime_error("no lock for virtual host " + a_.ml_vhost);
      std::lock_guard guard(*lock->second);
      row_cnt = get_cnt_from_db(*a_.db_fname, sink_);
    }
    bool updated = false;
    if (row_cnt >= kMoveThreshold || training_pcnt >= 100) {
      try {
        update.training_pcnt = training_pcnt;
        updated = db_processing(update);
      } catch (const std::exception& e) {
        log("error", "ml",
            "An error occurred while processing training data in database for virtual host " + a_.ml_vhost + ": " +
                e.what());
      }
    }
    // The period ends only with the last rows in the dataset file; after a
    // failed update the rows stay staged and the next pass tries again.
    if (training_pcnt >= 100 && updated) return;
    pause(a_.pauses.pass);
  }
}

void Training::end_of_period() {
  if (a_.nsg->restart_signal()) restart_wait();
  std::error_code ec;
  if (!fs::exists(d_fname_, ec)) {
    log("error", "os", "Data is not collected during models training: file " + d_fname_ + " is not found");
    remove_staging_file();
    ask_restart();
    restart_wait();
  }
  log("info", "os", "Loading data from file " + d_fname_);
  DatasetData training_data;
  while (true) {
    try {
      training_data = dataset_load(d_fname_);
      break;
    } catch (const DatasetFormatError&) {
      throw;
    } catch (const std::system_error& e) {
      // Not read (out of descriptors, memory, ...) is not damaged: the
      // dataset and the staged rows stay, the load is tried again.
      log("error", "os", "An error occurred while loading file " + d_fname_ + ": " + e.what());
      pause(a_.pauses.retry);
      if (a_.nsg->restart_signal()) restart_wait();
    }
  }
  bool enough = false;
  for (const auto& z : core::zones()) {
    // A zone the dataset lacks holds no value.
    const auto it = training_data.find(z);
    if (it != training_data.end() && it->second.size() >= kMinDataSize) {
      enough = true;
      break;
    }
  }
  if (!enough) {
    log("error", "ml",
        "Insufficient traffic to build behavioral models for virtual host " + a_.ml_vhost +
            " (required: " + std::to_string(kMinDataSize) + ")");
    ask_restart();
    remove_staging_file();
    restart_wait();
  }
  if (a_.nsg->restart_signal()) restart_wait();
  try {
    if (!fs::exists(paths_.backup_dir)) {
      log("info", "os", "Creating backup directory: " + paths_.backup_dir);
      fs::create_directory(paths_.backup_dir);
    }
    log("info", "os", "Copy " + d_fname_ + " to " + d_fname_bak_);
    fs::copy_file(d_fname_, d_fname_bak_, fs::copy_options::overwrite_existing);
  } catch (const std::exception& e) {
    log("error", "os", "An error occurred while creating a backup for " + d_fname_ + ": " + e.what());
  }
  if (a_.nsg->restart_signal()) restart_wait();
  model_stage(training_data);
}

void Training::model_stage(const DatasetData& training_data) {
  const std::string& tmp_dir = paths_.tmp_dir;
  const std::string zip_fname = path_join(tmp_dir, a_.vhost + ".zip");
  BuildOptions build;
  build.retry_pause = a_.pauses.retry;
  build.stop = a_.stop;
  ExchangeOptions exchange;
  exchange.upload_retry = a_.pauses.upload_retry;
  exchange.stop = a_.stop;
  while (true) {
    try {
      while (!a_.training_lock->try_acquire_for(std::chrono::milliseconds(100)))
        if (a_.stop.stop_requested()) throw ProcessEnd{};
      std::lock_guard lock(*a_.training_lock, std::adopt_lock);
      // Files of an earlier attempt must not pass for new models.
      for (const auto& name : {core::model_rf_name(a_.vhost), core::model_vect_name(a_.vhost)}) {
        std::error_code ec;
        fs::remove(path_join(tmp_dir, name), ec);
      }
      tessel_models_build(tmp_dir, a_.dataset_limit, a_.ml_vhost, a_.vhost, training_data,
                          a_.run.endpoints.get_mt_hash_url, a_.run.endpoints.get_mt_data_url, a_.run.dataset_urls,
                          a_.run.api, paths_.mt_fname, sink_, build);
      if (a_.stop.stop_requested()) throw ProcessEnd{};
      const std::vector<std::string> g = core::host_model_files(tmp_dir, a_.vhost);
      Json listed = Json::array();
      for (const auto& p : g) listed.push_back(p);
      log("info", "os", "Files of new model: " + py_repr(listed));
      if (g.size() != 2) {
        log("error", "os", "An error occurred while building behavioral models: one of the two files is missing");
        pause(a_.pauses.retry);
        continue;
      }
      try {
        if (!tessel_models_send(zip_fname, g, a_.ml_vhost, a_.vhost, a_.run.endpoints.set_models_url, a_.run.api, sink_,
                                exchange))
          throw ProcessEnd{};
        while (!set_training_status(a_.run.endpoints.set_training_url, a_.ml_vhost, true, a_.run.api, sink_))
          pause(a_.pauses.retry);
        for (const auto& path : g) {
          try {
            if (fs::exists(path)) {
              fs::remove(path);
              log("info", "os", "Temporary model files have been deleted: " + path);
            }
          } catch (const std::exception& e) {
            log("error", "os", "Unable to delete file " + path + ": " + e.what());
          }
        }
        log("info", "ml", "Training for virtual host " + a_.ml_vhost + " is complete");
        ask_restart();
        restart_wait();
      } catch (const std::exception& e) {
        log("error", "os",
            "An error occurred while adding models for virtual host " + a_.vhost + " to the ZIP: " + e.what());
        pause(a_.pauses.retry);
      }
    } catch (const std::exception& e) {
      log("error", "ml", std::string("An error occurred while building behavioral models: ") + e.what());
      pause(a_.pauses.retry);
    }
  }
}

void Training::trained() {
  if (a_.nsg->restart_signal()) restart_wait();
  try {
    std::vector<std::string> paths = core::host_staging_files(paths_.models_dir, a_.vhost);
    paths.push_back(d_fname_);
    for (const auto& path : paths) {
      try {
        if (fs::exists(path)) {
          log("info", "os", "Training is not carried out, deleting file " + path);
          fs::remove(path);
        }
      } catch (const std::exception& e) {
        log("error", "os", "Unable to delete file " + path + ": " + e.what());
      }
    }
  } catch (const std::exception& e) {
    log("error", "os", std::string("An error occurred while deleting training data files: ") + e.what());
  }
  auto last_poll = std::chrono::steady_clock::now();
  while (true) {
    try {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_poll > a_.pauses.status_poll) {
        last_poll = now;
        const auto [complete, days] = get_training_status(a_.run.endpoints.get_training_url, a_.ml_vhost,
                                                          a_.training_period_days_default, a_.run.api, sink_);
        if (complete == false) {
          log("warn", "ml", "Training is not completed for virtual host " + a_.ml_vhost);
          ask_restart();
          restart_wait();
        }
        if (a_.mls && complete.value_or(false))
          core::mls_data_del("ml", a_.run.endpoints.del_mls_data_url, a_.ml_vhost, {"*"}, a_.run.api, sink_);
        set_training_progress_status(a_.run.endpoints.set_training_progress_url, a_.ml_vhost, 100, a_.run.api, sink_);
      }
    } catch (const std::exception& e) {
      log("error", "ml",
          "An error occurred in prediction section of ML core for virtual host " + a_.ml_vhost + ": " + e.what());
    }
    pause(a_.pauses.retry);
  }
}

void Training::run() {
  // No dataset write of this host runs yet: temporary files are from a
  // process that ended mid-write.
  for (const auto& path : remove_stale_temporaries(d_fname_))
    log("info", "os", "Stale temporary file deleted: " + path);
  if (a_.db_fname) {
    try {
      collect();
      end_of_period();
    } catch (const std::exception& e) {
      log("error", "ml", std::string("An error occurred while preparing data for training: ") + e.what());
    }
  }
  trained();
}

}  // namespace

void ml_core(const MlCoreArgs& args) {
  const LogSink& sink = args.run.sink;
  try {
    core::log_processing(sink, "info", "ml", "ML core module is running (" + args.ml_vhost + ")");
    Training(args).run();
  } catch (const ProcessEnd&) {
  } catch (const std::exception& e) {
    core::log_processing(sink, "error", "ml",
                         "An error occurred in ML core for virtual host " + args.ml_vhost + ": " + e.what());
  }
}

}  // namespace tessel::orvik
