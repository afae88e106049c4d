#include "core/net/endpoints.h"

#include <gtest/gtest.h>

#include <string>

#include "core/net/url_schema.h"
#include "shared/pyvalues/url.h"
#include "shared/runtime/log_sink.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"

using namespace tessel;

// Expected values were produced with url-normalize 1.4.3.
TEST(Endpoints, BaseUrlFromApiUri) {
  struct Case {
    const char* api_uri;
    const char* base;
    const char* attack;
  };
  const Case cases[] = {
      {"h", "http://h/vx-api/", "http://h/vx-api/attack"},
      {"127.0.0.1:8089", "http://127.0.0.1:8089/vx-api/", "http://127.0.0.1:8089/vx-api/attack"},
      {"None", "http://none/vx-api/", "http://none/vx-api/attack"},
      // the scheme test is case-sensitive
      {"HTTP://X:80/Y", "http://http/X:80/Y/vx-api/", "http://http/X:80/Y/vx-api/attack"},
      // default ports go, others stay
      {"http://h:80", "http://h/vx-api/", "http://h/vx-api/attack"},
      {"http://H.Example.COM:443/", "http://h.example.com:443/vx-api/", "http://h.example.com:443/vx-api/attack"},
      {"https://h:8443/vx-api/", "https://h:8443/vx-api/", "https://h:8443/vx-api/attack"},
      // "/vx-api" anywhere: nothing is appended
      {"https://h/a/vx-api", "https://h/a/vx-api", "https://h/a/vx-api/attack"},
      {"https://h/x/vx-apiv2", "https://h/x/vx-apiv2", "https://h/x/vx-apiv2/attack"},
      {"http://h/a b/", "http://h/a%20b/vx-api/", "http://h/a%20b/vx-api/attack"},
      {"http://u:p@h/p?q=1", "http://u:p@h/p?q=1/vx-api/", "http://u:p@h/p?q=1/vx-api//attack"},
  };
  for (const auto& c : cases) {
    const std::string base = core::api_base_url(c.api_uri);
    EXPECT_EQ(base, c.base) << c.api_uri;
    core::ApiEndpoints e;
    e.build_first(base);
    EXPECT_EQ(e.set_attack_url, c.attack) << c.api_uri;
  }
  EXPECT_THROW(core::api_base_url("a..b"), UrlError);
}

TEST(Endpoints, EveryPathBelowTheBase) {
  core::ApiEndpoints e;
  e.build_first("http://h/vx-api/");
  EXPECT_TRUE(e.get_vhosts_url.empty());  // the second group comes later
  e.build_last("http://h/vx-api/");
  const std::string b = "http://h/vx-api";
  const std::pair<std::string, std::string> want[] = {
      {e.set_attack_url, b + "/attack"},
      {e.get_tessel_settings_hash_url, b + "/get_tessel_settings_hash"},
      {e.get_tessel_settings_url, b + "/v2/get_tessel_settings"},
      {e.get_schemix_base_url, b + "/get_schemix_"},
      {e.set_schemix_schema_path_url, b + "/set_schemix_schema_paths"},
      {e.get_mt_hash_url, b + "/get_mt_fp_hash"},
      {e.set_mt_data_url, b + "/set_mt_data_uri"},
      {e.get_mt_data_url, b + "/get_mt_data_uri"},
      {e.set_event_url, b + "/set_event"},
      {e.set_agent_monitoring_url, b + "/v1/set_agent_monitoring"},
      {e.set_mls_data_url, b + "/v1/set_mls_data"},
      {e.get_mls_data_url, b + "/v1/get_mls_data"},
      {e.del_mls_data_url, b + "/v1/del_mls_data"},
      {e.set_request_stats_url, b + "/stats/v1/set_request"},
      {e.set_traffic_stats_url, b + "/stats/v1/set_traffic"},
      {e.get_vhosts_url, b + "/v2/get_vhosts_list"},
      {e.get_models_url, b + "/get_models_uri"},
      {e.set_models_url, b + "/set_models_uri"},
      {e.get_training_url, b + "/v2/get_training_uri"},
      {e.set_training_url, b + "/v2/set_training_uri"},
      {e.set_training_progress_url, b + "/set_training_progress_uri"},
  };
  for (const auto& [got, expected] : want) EXPECT_EQ(got, expected);

  const auto ds = core::dataset_urls("https://Data.Example/vx");
  EXPECT_EQ(ds.bl_dataset_url, "https://data.example/vx/ml/dataset/get_bl_uri");
  EXPECT_EQ(ds.wl_dataset_url, "https://data.example/vx/ml/dataset/get_wl_uri");
}

TEST(Endpoints, ProxyTextGetsAScheme) {
  auto q_ec_ptr = std::make_shared<EventQueue>();
  auto log_ptr = std::make_shared<Logger>("MAIN");
  const LogSink sink{q_ec_ptr, log_ptr, false};
  const std::pair<const char*, const char*> cases[] = {
      {"proxy:3128", "http://proxy:3128"},
      {"user:pw@proxy:3128", "http://user:pw@proxy:3128"},
      {"10.0.0.1", "http://10.0.0.1"},
      {"http://p:1", "http://p:1"},
      {"https://p:1", "https://p:1"},
      {"socks5h://p:1080", "socks5h://p:1080"},
      {"://p", "http://://p"},
      {"1x://p", "http://1x://p"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(core::add_url_schema(text, sink), want) << text;
}
