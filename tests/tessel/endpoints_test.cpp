#include <gtest/gtest.h>

#include "shared/runtime/log_sink.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "core/net/url_schema.h"
#include "shared/runtime/logging.h"
#include "shared/runtime/queues.h"
#include "shared/pyvalues/url.h"
#include "support/temp_dir.h"
#include "core/net/endpoints.h"
#include "tessel/identity.h"

using namespace tessel;
using tessel::testing::read_file;
using tessel::testing::TempDir;
using tessel::testing::write_file;

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

TEST(Identity, InstanceIdIsCreatedOnceAndKept) {
  TempDir dir;
  const std::string path = dir.file("instance_id");
  const std::string id = svc::instance_id(path);
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  EXPECT_EQ(read_file(path), id + "\n");
  EXPECT_EQ(svc::instance_id(path), id);

  // an id written by the operator is used as it is
  write_file(path, "  node-7  \nsecond line\n");
  EXPECT_EQ(svc::instance_id(path), "node-7");

  // an unusable file is replaced
  for (const char* bad : {"", "\n", "two words\n", "x\x01y"}) {
    write_file(path, bad);
    const std::string fresh = svc::instance_id(path);
    EXPECT_EQ(fresh.size(), 32u) << bad;
    EXPECT_EQ(read_file(path), fresh + "\n");
  }
  // nothing is left beside it
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST(Identity, UnusableLocationIsAnError) {
  TempDir dir;
  write_file(dir.file("file"), "x");
  std::filesystem::create_directory(dir.file("instance_id"));
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("file/instance_id"), "[Errno 20] Not a directory"},
      {dir.file("instance_id"), "[Errno 21] Is a directory"},
  };
  for (const auto& [path, text] : cases) {
    try {
      svc::instance_id(path);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "cannot read the instance id file " + path + ": " + text);
    }
  }
}

TEST(Identity, PrimaryAddressIsAnAddress) {
  const std::string ip = svc::primary_address();
  unsigned char buf[16];
  EXPECT_TRUE(::inet_pton(AF_INET, ip.c_str(), buf) == 1 || ::inet_pton(AF_INET6, ip.c_str(), buf) == 1) << ip;
}
