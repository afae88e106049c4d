#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/data/refdata.h"
#include "shared/pyvalues/base64.h"
#include "support/api_context.h"
#include "support/log_capture.h"
#include "support/mgmt_sim.h"
#include "support/temp_dir.h"

using namespace tessel;
using tessel::testing::api_context;
using namespace tessel::core;
using tessel::testing::LogCapture;
using tessel::testing::MgmtSim;
using tessel::testing::read_file;
using tessel::testing::TempDir;
using tessel::testing::write_file;

namespace {

const std::string kDebianCountry = "/usr/share/GeoIP/GeoIP.dat";

#define REQUIRE_COUNTRY_DATA() \
  if (!std::filesystem::exists(kDebianCountry)) GTEST_SKIP() << "no " << kDebianCountry

// Reference data with the GeoIP directory and source at test values.
RefDataOptions geo_options(const std::string& dir, const std::string& source = "") {
  RefDataOptions o;
  o.geo_dir = dir;
  o.geo_source_url = source;
  while (o.geo_source_url.size() > 1 && o.geo_source_url.back() == '/') o.geo_source_url.pop_back();
  return o;
}

}  // namespace

TEST(Geo, CountryLookUps) {
  REQUIRE_COUNTRY_DATA();
  TempDir dir;
  GeoReference ref(geo_options(dir.str()));
  LogCapture lc;
  // no local copy: Debian's data is the built-in country data
  EXPECT_EQ(ref.db_path(geocc_fname), kDebianCountry);
  GeoData cc = geo_db_get(ref, geocc_fname, lc.sink());
  ASSERT_FALSE(cc.empty());
  struct Case {
    const char* addr;
    const char* country;
  };
  const Case cases[] = {
      {"8.8.8.8", "US"}, {" 1.1.1.1 ", "AU"}, {"::ffff:8.8.8.8", "US"}, {"2001:4860:4860::8888", "US"},
      {"10.0.0.1", ""},  {"127.0.0.1", ""},   {"not an address", ""},   {"", ""},
      {"8.8.8.0/24", ""}};
  for (const auto& c : cases) EXPECT_EQ(cc.country(c.addr), c.country) << c.addr;
  GeoData copy = cc;  // copies share the data
  EXPECT_EQ(copy.country("8.8.8.8"), "US");

  // a file that is no country database gives empty data and a log line
  write_file(dir.file(geocc_fname), "garbage");
  EXPECT_TRUE(geo_db_get(ref, geocc_fname, lc.sink()).empty());
  EXPECT_EQ(lc.take().at(0).rfind("error/os: An error occurred while loading file " + dir.file(geocc_fname), 0), 0u);
  EXPECT_EQ(GeoData().country("8.8.8.8"), "");
}

TEST(Geo, ReputationEntriesForEveryAddress) {
  REQUIRE_COUNTRY_DATA();
  TempDir dir;
  GeoReference ref(geo_options(dir.str()));
  LogCapture lc;
  write_file(dir.file(geocrwl_fname),
             R"({"format": "tessel-crawlers", "version": 1, "hash": "c1",
                 "crawlers": [{"name": "examplebot", "ranges": ["8.8.4.0/24"]}]})");
  Json r = get_geoip(ref, Json::array({"8.8.4.4", "10.1.2.3", "bogus"}), "token", api_context(""), lc.sink());
  EXPECT_EQ(r["8.8.4.4"], (Json{{"cc", "US"},
                                {"crawler", "examplebot"},
                                {"tor", false},
                                {"proxy", false},
                                {"hosting", false},
                                {"mobile", false}}));
  EXPECT_EQ(r["10.1.2.3"]["cc"], "");
  EXPECT_EQ(r["10.1.2.3"]["crawler"], false);
  EXPECT_TRUE(r.contains("bogus"));
  EXPECT_EQ(get_geobl(ref, "8.8.4.4", "token", api_context(""), lc.sink()), Json::array());  // no block-list file

  // a changed crawler file is read again
  std::filesystem::remove(dir.file(geocrwl_fname));
  write_file(dir.file(geocrwl_fname), R"({"format": "tessel-crawlers", "version": 1, "hash": "c2", "crawlers": []})");
  EXPECT_EQ(get_geoip(ref, Json::array({"8.8.4.4"}), "", api_context(""), lc.sink())["8.8.4.4"]["crawler"], false);
  EXPECT_TRUE(lc.take().empty());
}

TEST(Geo, BlockListsNameEveryListHoldingTheAddress) {
  TempDir dir;
  GeoReference ref(geo_options(dir.str()));
  LogCapture lc;
  write_file(dir.file(geobl_fname),
             R"({"format": "tessel-blocklists", "version": 1, "hash": "b1",
                 "lists": [{"name": "XBL", "ranges": ["203.0.113.0/24", "2001:db8::/32"]},
                           {"name": "PBL", "ranges": ["203.0.113.7"]},
                           {"ranges": ["198.51.100.0/24"]}]})");
  struct Case {
    const char* addr;
    Json lists;
  };
  const Case cases[] = {{"203.0.113.7", Json::array({"XBL", "PBL"})},
                        {"::ffff:203.0.113.9", Json::array({"XBL"})},
                        {"2001:db8::1", Json::array({"XBL"})},
                        {"198.51.100.1", Json::array()},  // a list without a name counts for nothing
                        {"192.0.2.1", Json::array()},
                        {"not an address", Json::array()}};
  for (const auto& c : cases) EXPECT_EQ(get_geobl(ref, c.addr, "", api_context(""), lc.sink()), c.lists) << c.addr;

  // a changed file is read again; a damaged one lists nothing
  std::filesystem::remove(dir.file(geobl_fname));
  write_file(dir.file(geobl_fname), R"({"format": "tessel-blocklists", "version": 1, "hash": "b2",
                                        "lists": [{"name": "SBL", "ranges": ["192.0.2.0/24"]}]})");
  EXPECT_EQ(get_geobl(ref, "192.0.2.1", "", api_context(""), lc.sink()), Json::array({"SBL"}));
  std::filesystem::remove(dir.file(geobl_fname));
  write_file(dir.file(geobl_fname), "{not json");
  EXPECT_EQ(get_geobl(ref, "192.0.2.1", "", api_context(""), lc.sink()), Json::array());
  EXPECT_TRUE(lc.take().empty());
}

TEST(Geo, UpdateReplacesOnlyWithDataThatLoads) {
  REQUIRE_COUNTRY_DATA();
  MgmtSim sim;
  TempDir dir;
  LogCapture lc;
  const std::string geo = dir.str() + "geo/";  // created by the first download

  {  // no source: nothing is asked, the built-in data stays
    GeoReference ref(geo_options(geo));
    EXPECT_FALSE(geo_db_update(ref, geocc_fname, "t", api_context(""), lc.sink()));
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_TRUE(lc.take().empty());
  }
  GeoReference ref(geo_options(geo, sim.dataset_base() + "/geoip/"));
  const std::string country = read_file(kDebianCountry);
  sim.set_answer("dataset/geoip/GeoIP.dat", {{"body_base64", base64_encode(country)}});
  sim.set_answer(
      "dataset/geoip/crawlers.json",
      {{"body", {{"format", "tessel-crawlers"}, {"version", 1}, {"hash", "x"}, {"crawlers", Json::array()}}}});
  const Json blocklists = {{"format", "tessel-blocklists"},
                           {"version", 1},
                           {"hash", "y"},
                           {"lists", Json::array({{{"name", "XBL"}, {"ranges", Json::array({"203.0.113.0/24"})}}})}};
  sim.set_answer("dataset/geoip/blocklists.json", {{"body", blocklists}});
  EXPECT_TRUE(geo_db_update(ref, geocc_fname, "tok", api_context(""), lc.sink()));
  EXPECT_TRUE(geo_db_update(ref, geocrwl_fname, "tok", api_context(""), lc.sink()));
  EXPECT_EQ(get_geobl(ref, "203.0.113.5", "", api_context(""), lc.sink()), Json::array({"XBL"}));
  EXPECT_EQ(read_file(geo + geocc_fname), country);
  EXPECT_EQ(ref.db_path(geocc_fname), geo + geocc_fname);
  EXPECT_EQ(sim.requests_to("/vx/geoip/GeoIP.dat").at(0)["headers"]["Authorization"], "Bearer tok");
  // the IPv6 companion has no answer: logged, the IPv4 file still counts
  EXPECT_TRUE(lc.take().size() == 1u);

  // a file that does not load, or no answer: the local copy stays
  sim.set_answer("dataset/geoip/GeoIP.dat", {{"body_text", "not a database"}});
  sim.set_answer("dataset/geoip/crawlers.json", {{"body", {{"crawlers", Json::array()}}}});
  sim.set_answer("dataset/geoip/blocklists.json", {{"body", {{"lists", Json::array()}}}});
  EXPECT_FALSE(geo_db_update(ref, geocc_fname, "tok", api_context(""), lc.sink()));
  EXPECT_FALSE(geo_db_update(ref, geocrwl_fname, "tok", api_context(""), lc.sink()));
  EXPECT_EQ(get_geobl(ref, "203.0.113.5", "", api_context(""), lc.sink()), Json::array({"XBL"}));
  EXPECT_EQ(read_file(geo + geocc_fname), country);
  EXPECT_FALSE(std::filesystem::exists(geo + std::string(geocc_fname) + ".new"));
  auto events = lc.take();
  EXPECT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].find("error/api: An error occurred while receiving data from "), 0u);
  EXPECT_EQ(geo_db_get(ref, geocc_fname, lc.sink()).country("8.8.8.8"), "US");
}
