#pragma once
// The service main: tessel_main and its start-up phases.
// Entry points of every subsystem and the short names: docs/glossary.md.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/data/refdata.h"
#include "core/net/api_context.h"
#include "core/workers/hw_overload.h"
#include "core/workers/run_context.h"
#include "core/workers/settings_thread.h"
#include "ingestor/ingestor.h"
#include "orvik/training/ml_core.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/detector.h"
#include "shared/runtime/interrupt.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/nsg.h"
#include "shared/runtime/queues.h"
#include "shared/runtime/rmq_params.h"

namespace tessel::svc {

// The entries of the other subsystems that the service calls. Tests replace
// single ones.
struct Subsystems {
  // Detector hosts; schema generation also gets its interval (seconds), and
  // classification its protected hosts, their staging files, the model
  // directory and the exported false-positive file.
  using WindowDetectorFactory = std::function<WindowDetectorPtr(const core::DetectorContext& ctx)>;
  WindowDetectorFactory make_bfm;
  WindowDetectorFactory make_ddosm;
  std::function<WindowDetectorPtr(int oa_loop_int, const core::DetectorContext& ctx)> make_oam;
  std::function<MlDetectorPtr(Json db_fnames_dict, std::string models_dir, bool ai_extra,
                              std::vector<std::string> mlvh_list, std::string mt_fname,
                              const core::DetectorContext& ctx)>
      make_mlm;
  core::MtDataGetFn mt_data_get;
  core::ModelsReceiverFn tessel_models_receiver;
  core::SchemixSettingsGetFn schemix_settings_get;
  std::function<std::pair<std::optional<bool>, Json>(const std::string& url, const std::string& vhost,
                                                     std::int64_t training_period_days_default,
                                                     const core::ApiContext& api, const LogSink& sink)>
      get_training_status;
  std::function<void(const orvik::MlCoreArgs& args)> ml_core;
  std::function<void(Nsg& nsg, std::shared_ptr<SharedNamespace> nsi, const ingestor::ConsumerArgs& args,
                     const LogSink& sink)>
      dyn_queue_consumer;

  // The real entries.
  static Subsystems real();
};

struct RunOptions {
  // The wait of the restart protocol.
  std::chrono::milliseconds restart_wait{std::chrono::seconds(120)};
  // The pause between main-loop passes.
  std::chrono::milliseconds loop_pause{std::chrono::seconds(5)};
  // The pause between passes of the settings-update thread (before the
  // configured additional delay).
  std::chrono::milliseconds settings_period{std::chrono::seconds(60)};
  // The pauses of the per-host training processes (collection pass, retry,
  // restart wait, upload retry, trained-mode status poll).
  orvik::TrainingPauses training_pauses;
  // Length of a day of a training period, in seconds (shorter in tests and
  // local runs; the least period is still one day).
  double day_seconds = 24 * 60 * 60;
  // Seconds between two schema-generation runs (shorter in tests and local
  // runs).
  int schema_seconds = 180;
  // When the run ends, how long to wait for its workers to end.
  std::chrono::milliseconds worker_join_wait{std::chrono::seconds(2)};
  // The machine's load figures for the hardware-overload watch.
  std::function<std::optional<core::HwSample>()> hw_sample = core::hw_sample;
  // Called during long waits of the calling thread; throws Interrupted.
  InterruptCheck check_interrupt;
  // Writes one line on standard output (the launcher's stream).
  std::function<void(const std::string&)> print;
  // The wall clock in whole UNIX seconds.
  std::function<std::int64_t()> clock;
  // Called before each start-up phase with its number (1 to 16; 16 is the
  // main loop); tests stop a run there by throwing Interrupted.
  std::function<void(int phase)> before_phase;
  // Fixed directories, overridable for tests and local runs.
  std::string log_root = "/var/log/vexa/";
  std::string models_root = "/opt/tessel/ml/";
  // The GeoIP directory and download source, and the dataset service's
  // base URL.
  core::RefDataOptions refdata;
  // Certificate bundle of every web request; "" for the system's.
  std::string ca_bundle;
  Subsystems subsystems = Subsystems::real();

  // Defaults with the environment's overrides, read once: TESSEL_LOG_DIR,
  // TESSEL_ML_DIR, TESSEL_DATASET_URL, TESSEL_GEOIP_DIR, TESSEL_GEOIP_URL,
  // REQUESTS_CA_BUNDLE / CURL_CA_BUNDLE, and the test hooks
  // TESSEL_RESTART_WAIT_MS (also the training processes' restart wait),
  // TESSEL_LOOP_PAUSE_MS, TESSEL_SETTINGS_PERIOD_MS, TESSEL_TRAINING_PASS_MS,
  // TESSEL_TRAINING_RETRY_MS, TESSEL_TRAINING_UPLOAD_MS,
  // TESSEL_TRAINING_POLL_MS, TESSEL_DAY_SECONDS, TESSEL_SCHEMA_SECONDS and
  // TESSEL_HW_WATCH (0: no hardware-overload watch).
  static RunOptions from_env();
};

// Runs the service. Returns only after a fatal stop (restart protocol); an
// error outside the guarded steps leaves as that error, and an interruption
// as Interrupted. When it returns or leaves, the workers of the run are
// told to end: they see a pending restart.
void tessel_main(Nsg& nsg, const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                 const RunOptions& opts);

}  // namespace tessel::svc
