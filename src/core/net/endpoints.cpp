#include "core/net/endpoints.h"

#include <utility>

#include "shared/pyvalues/url.h"

namespace tessel::core {

namespace {

using Member = std::string ApiEndpoints::*;

constexpr std::pair<Member, const char*> kFirst[] = {
    {&ApiEndpoints::set_attack_url, "/attack"},
    {&ApiEndpoints::get_tessel_settings_hash_url, "/get_tessel_settings_hash"},
    {&ApiEndpoints::get_tessel_settings_url, "/v2/get_tessel_settings"},
    {&ApiEndpoints::get_schemix_base_url, "/get_schemix_"},
    {&ApiEndpoints::set_schemix_schema_path_url, "/set_schemix_schema_paths"},
    {&ApiEndpoints::get_mt_hash_url, "/get_mt_fp_hash"},
    {&ApiEndpoints::set_mt_data_url, "/set_mt_data_uri"},
    {&ApiEndpoints::get_mt_data_url, "/get_mt_data_uri"},
    {&ApiEndpoints::set_event_url, "/set_event"},
    {&ApiEndpoints::set_agent_monitoring_url, "/v1/set_agent_monitoring"},
    {&ApiEndpoints::set_mls_data_url, "/v1/set_mls_data"},
    {&ApiEndpoints::get_mls_data_url, "/v1/get_mls_data"},
    {&ApiEndpoints::del_mls_data_url, "/v1/del_mls_data"},
    {&ApiEndpoints::set_request_stats_url, "/stats/v1/set_request"},
    {&ApiEndpoints::set_traffic_stats_url, "/stats/v1/set_traffic"},
};

constexpr std::pair<Member, const char*> kLast[] = {
    {&ApiEndpoints::get_vhosts_url, "/v2/get_vhosts_list"},
    {&ApiEndpoints::get_models_url, "/get_models_uri"},
    {&ApiEndpoints::set_models_url, "/set_models_uri"},
    {&ApiEndpoints::get_training_url, "/v2/get_training_uri"},
    {&ApiEndpoints::set_training_url, "/v2/set_training_uri"},
    {&ApiEndpoints::set_training_progress_url, "/set_training_progress_uri"},
};

}  // namespace

std::string api_base_url(std::string api_uri) {
  if (!api_uri.starts_with("http://") && !api_uri.starts_with("https://")) api_uri = "http://" + api_uri;
  if (api_uri.find("/vx-api") == std::string::npos) api_uri = url_normalize(api_uri + "/vx-api/");
  return url_normalize(api_uri);
}

void ApiEndpoints::build_first(const std::string& api_url) {
  for (const auto& [member, path] : kFirst) this->*member = url_normalize(api_url + path);
}

void ApiEndpoints::build_last(const std::string& api_url) {
  for (const auto& [member, path] : kLast) this->*member = url_normalize(api_url + path);
}

DatasetUrls dataset_urls(const std::string& base_rapi_url) {
  return {url_normalize(base_rapi_url + "/ml/dataset/get_bl_uri"),
          url_normalize(base_rapi_url + "/ml/dataset/get_wl_uri")};
}

}  // namespace tessel::core
