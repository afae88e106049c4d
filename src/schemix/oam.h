#pragma once
// The schema-generation host.
#include <memory>
#include <string>

#include "shared/runtime/detector.h"
#include "shared/pyvalues/json.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

namespace tessel::schemix {

class OAM : public WindowDetector {
 public:
  // oa_loop_int: seconds between two schema-generation runs.
  OAM(int oa_loop_int, std::string set_schemix_schema_path_url, std::string key, Json api_proxy, Json headers,
      std::shared_ptr<EventQueue> q_ec, Logger& log, bool debug);

  void dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) override;

 private:
  int loop_int_;
  std::string set_schemix_schema_path_url_;
  std::string key_;
  Json api_proxy_;
  Json headers_;
  std::shared_ptr<EventQueue> q_ec_;
  Logger& log_;
  bool debug_;
};

}  // namespace tessel::schemix
