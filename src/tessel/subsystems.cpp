// The real entries of the other subsystems, and the run options from the
// environment.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "core/net/http.h"
#include "ingestor/ingestor.h"
#include "orvik/classify/mlm.h"
#include "orvik/dataset/mt_data.h"
#include "orvik/training/ml_core.h"
#include "orvik/training/model_exchange.h"
#include "orvik/training/training_state.h"
#include "passgate/bfm.h"
#include "schemix/oam.h"
#include "schemix/schemix_settings.h"
#include "stormwatch/ddosm.h"
#include "tessel/service.h"

namespace tessel::svc {

Subsystems Subsystems::real() {
  Subsystems s;
  s.make_bfm = [](const core::DetectorContext& ctx) -> WindowDetectorPtr {
    return std::make_shared<passgate::BFM>(ctx);
  };
  s.make_ddosm = [](const core::DetectorContext& ctx) -> WindowDetectorPtr {
    return std::make_shared<stormwatch::DDoSM>(ctx);
  };
  s.make_oam = [](int oa_loop_int, const core::DetectorContext& ctx) -> WindowDetectorPtr {
    return std::make_shared<schemix::OAM>(oa_loop_int, ctx);
  };
  s.make_mlm = [](Json db_fnames_dict, std::string models_dir, bool ai_extra, std::vector<std::string> mlvh_list,
                  std::string mt_fname, const core::DetectorContext& ctx) -> MlDetectorPtr {
    return std::make_shared<orvik::MLM>(std::move(db_fnames_dict), std::move(models_dir), ai_extra,
                                        std::move(mlvh_list), std::move(mt_fname), ctx);
  };
  s.mt_data_get = orvik::mt_data_get;
  s.tessel_models_receiver = [](bool ai_extra, const std::string& models_dir, const std::string& get_models_url,
                                const core::ApiContext& api, const LogSink& sink) {
    return orvik::tessel_models_receiver(ai_extra, models_dir, get_models_url, api, sink);
  };
  s.schemix_settings_get = schemix::schemix_settings_get;
  s.get_training_status = orvik::get_training_status;
  s.ml_core = orvik::ml_core;
  s.dyn_queue_consumer = [](Nsg& nsg, const std::shared_ptr<SharedNamespace>& nsi, const ingestor::ConsumerArgs& args,
                            const LogSink& sink) { ingestor::dyn_queue_consumer(nsg, nsi, args, sink); };
  return s;
}

RunOptions RunOptions::from_env() {
  RunOptions o;
  if (const char* v = std::getenv("TESSEL_LOG_DIR"); v && *v) o.log_root = v;
  if (const char* v = std::getenv("TESSEL_ML_DIR"); v && *v) o.models_root = v;
  o.refdata = core::RefDataOptions::from_env();
  o.ca_bundle = core::ca_bundle_from_env();
  // Shorter waits for tests.
  auto wait_from_env = [](const char* name, std::chrono::milliseconds& wait) {
    if (const char* v = std::getenv(name); v && *v) wait = std::chrono::milliseconds(std::strtoll(v, nullptr, 10));
  };
  wait_from_env("TESSEL_RESTART_WAIT_MS", o.restart_wait);
  wait_from_env("TESSEL_LOOP_PAUSE_MS", o.loop_pause);
  wait_from_env("TESSEL_SETTINGS_PERIOD_MS", o.settings_period);
  o.training_pauses.restart_wait = o.restart_wait;
  wait_from_env("TESSEL_TRAINING_PASS_MS", o.training_pauses.pass);
  wait_from_env("TESSEL_TRAINING_RETRY_MS", o.training_pauses.retry);
  wait_from_env("TESSEL_TRAINING_UPLOAD_MS", o.training_pauses.upload_retry);
  wait_from_env("TESSEL_TRAINING_POLL_MS", o.training_pauses.status_poll);
  if (const char* v = std::getenv("TESSEL_DAY_SECONDS"); v && *v) {
    const double d = std::strtod(v, nullptr);
    if (d > 0) o.day_seconds = d;
  }
  if (const char* v = std::getenv("TESSEL_SCHEMA_SECONDS"); v && *v) {
    const long s = std::strtol(v, nullptr, 10);
    if (s > 0) o.schema_seconds = static_cast<int>(std::min(s, 86400L));
  }
  if (const char* v = std::getenv("TESSEL_HW_WATCH"); v && std::string_view(v) == "0") o.hw_sample = nullptr;
  return o;
}

}  // namespace tessel::svc
