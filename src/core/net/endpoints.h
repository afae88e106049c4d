#pragma once
// Addresses of the management API and of the dataset service.
#include <string>

namespace tessel::core {

// The management-API base URL from a non-empty [main] api_uri: "http://" in
// front without an "http://" / "https://" scheme, "/vx-api/" appended unless
// "/vx-api" occurs, then normalised. Throws UrlError for what url_normalize
// rejects.
std::string api_base_url(std::string api_uri);

// Every management-API URL: the normalised form of the base URL followed by
// the endpoint's path. The first group is built right after the base URL,
// the second after the request headers.
struct ApiEndpoints {
  std::string set_attack_url;
  std::string get_tessel_settings_hash_url;
  std::string get_tessel_settings_url;
  std::string get_schemix_base_url;  // a prefix: a setting name is appended
  std::string set_schemix_schema_path_url;
  std::string get_mt_hash_url;
  std::string set_mt_data_url;
  std::string get_mt_data_url;
  std::string set_event_url;
  std::string set_agent_monitoring_url;
  std::string set_mls_data_url;
  std::string get_mls_data_url;
  std::string del_mls_data_url;
  std::string set_request_stats_url;
  std::string set_traffic_stats_url;

  std::string get_vhosts_url;
  std::string get_models_url;
  std::string set_models_url;
  std::string get_training_url;
  std::string set_training_url;
  std::string set_training_progress_url;

  void build_first(const std::string& api_url);
  void build_last(const std::string& api_url);
};

// The dataset service's two addresses below its base URL.
struct DatasetUrls {
  std::string bl_dataset_url;  // attack dataset
  std::string wl_dataset_url;  // white-list dataset
};
DatasetUrls dataset_urls(const std::string& base_rapi_url);

}  // namespace tessel::core
