#include <memory>
#include <optional>

#include "core/net/broker_publish.h"
#include "orvik/classify/processing.h"
#include "orvik/dataset/mt_data.h"
#include "orvik/dataset/staging.h"

namespace tessel::orvik {

ClassifyServices ClassifyServices::real() {
  ClassifyServices s;
  s.mt_data_load = [](const std::string& mt_fname, const LogSink& sink) -> FpStep {
    auto data = std::make_shared<const MtData>(orvik::mt_data_load(mt_fname, sink));
    return [data, sink](RequestRecord& r, const std::string& ml_vhost, const std::string& vhost,
                        std::vector<std::string>& ml_z) {
      const std::optional<int> pe_bt =
          mt_export_processing(r, r.request_id, ml_vhost, Json(vhost), 1, ml_z, *data, sink);
      if (!pe_bt) return PeBt::not_run;
      if (*pe_bt == 0) return PeBt::cleared;
      if (*pe_bt == 12) return PeBt::remains;
      return PeBt::other;
    };
  };
  s.put_data_into_db = [](const RequestTable& table, const LockMap& db_processing_lock, const std::string& ml_vhost,
                          const std::string& db_fname, const LogSink& sink) {
    orvik::put_data_into_db(table, db_processing_lock, ml_vhost, db_fname, sink);
  };
  s.rmq_bt_processing = [](const Json& rows, int attack_kind, const RmqParamList& rmq_rc_param_list,
                           const std::string& tessel_rmq_q, const LogSink& sink) {
    return core::rmq_bt_processing(rows, attack_kind, rmq_rc_param_list, tessel_rmq_q, sink);
  };
  return s;
}

}  // namespace tessel::orvik
