// The detector feeder, the queue-size report and the hardware-overload
// watch.
#include "core/workers/feeder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/workers/hw_overload.h"
#include "support/log_capture.h"

using namespace tessel;
using namespace std::chrono_literals;
using tessel::testing::LogCapture;

namespace {

struct Window : WindowDetector {
  std::vector<RequestTable> tables;
  bool fail = false;
  void dfs_processing(const std::shared_ptr<SharedNamespace>&, RequestTable t) override {
    if (fail) throw std::runtime_error("window failed");
    tables.push_back(std::move(t));
  }
};

struct Ml : MlDetector {
  std::vector<RequestTable> tables;
  std::size_t locks = 0;
  void dfs_processing(const std::shared_ptr<Nsg>&, const LockMap& l, RequestTable t) override {
    locks = l.size();
    tables.push_back(std::move(t));
  }
};

RequestRecord rec(const std::string& id, const Json& ip, const std::string& cc = "") {
  RequestRecord r;
  r.id = id;
  r.request_id = id;
  r.ip = ip;
  r.cc = cc;
  return r;
}

std::vector<std::string> ids(const RequestTable& t) {
  std::vector<std::string> out;
  for (const auto& r : t) out.push_back(r.id);
  return out;
}

}  // namespace

// Which detector is called, with which rows of the batches, under which
// flags.
TEST(Feeder, HandsEachDetectorItsRowsOfThePass) {
  struct Case {
    const char* name;
    bool ddos_en, bf_en, with_ddos, with_bf, with_ml, with_oa;
    std::vector<std::size_t> calls;  // ddos, bf, ml, oa
  };
  const std::vector<Case> cases = {
      {"all on", true, true, true, true, true, true, {1, 1, 1, 1}},
      {"flags off", false, false, true, true, true, true, {0, 0, 1, 1}},
      {"no objects", true, true, false, false, false, true, {0, 0, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture lc;
    LocalQueue q_local;
    EventQueue q_geoip;
    LocalBatch first{{rec("1", "192.0.2.1"), rec("2", "192.0.2.2")}, {1}, {rec("b1", "192.0.2.1")}, true};
    LocalBatch second{{rec("3", "192.0.2.3")}, {0}, {}, false};
    q_local.put(std::move(first));
    q_local.put(std::move(second));
    auto ddos = std::make_shared<Window>(), bf = std::make_shared<Window>(), oa = std::make_shared<Window>();
    auto ml = std::make_shared<Ml>();
    LockMap locks{{"a.com", std::make_shared<ProcessLock>()}};
    const core::GeoData geo;
    core::local_queue_processing(
        {std::make_shared<LocalNsg>(), std::make_shared<SharedNamespace>(), locks, geo, lc.sink()},
        {.ddos = c.with_ddos ? ddos : nullptr,
         .bf = c.with_bf ? bf : nullptr,
         .ml = c.with_ml ? ml : nullptr,
         .oa = c.with_oa ? oa : nullptr,
         .on = {.ddos = c.ddos_en, .bf = c.bf_en}},
        q_local, q_geoip);
    EXPECT_EQ((std::vector<std::size_t>{ddos->tables.size(), bf->tables.size(), ml->tables.size(), oa->tables.size()}),
              c.calls);
    for (const auto& t : ddos->tables) EXPECT_EQ(ids(t), (std::vector<std::string>{"2", "3"}));
    for (const auto& t : bf->tables) EXPECT_EQ(ids(t), (std::vector<std::string>{"b1"}));
    for (const auto& t : ml->tables) EXPECT_EQ(ids(t), (std::vector<std::string>{"1", "2", "3"}));
    for (const auto& t : oa->tables) {  // only the batch with schema-generation patterns
      std::vector<std::string> request_ids;
      for (const auto& r : t) request_ids.push_back(r.request_id.get<std::string>());
      EXPECT_EQ(request_ids, (std::vector<std::string>{"1", "2"}));
      for (const auto& r : t) EXPECT_EQ(r.extras["schema_name"], "");
    }
    if (c.with_ml) {
      EXPECT_EQ(ml->locks, 1u);
    }
    EXPECT_EQ(q_local.qsize(), 0u);
  }
}

TEST(Feeder, EveryPassCallsTheDetectorsAlsoWithoutRequests) {
  LogCapture lc;
  LocalQueue q_local;
  EventQueue q_geoip;
  auto oa = std::make_shared<Window>();
  for (int i = 0; i < 2; ++i)
    core::local_queue_processing({nullptr, nullptr, LockMap{}, core::GeoData(), lc.sink()}, {.oa = oa}, q_local,
                                 q_geoip);
  ASSERT_EQ(oa->tables.size(), 2u);
  EXPECT_TRUE(oa->tables[0].empty());
  EXPECT_EQ(q_geoip.qsize(), 0u);
}

TEST(Feeder, OneFailingDetectorDoesNotStopTheOthers) {
  LogCapture lc;
  LocalQueue q_local;
  EventQueue q_geoip;
  q_local.put({{rec("1", "192.0.2.1")}, {0}, {}, true});
  auto ddos = std::make_shared<Window>(), oa = std::make_shared<Window>();
  ddos->fail = true;
  core::local_queue_processing({nullptr, nullptr, LockMap{}, core::GeoData(), lc.sink()},
                               {.ddos = ddos, .oa = oa, .on = {.ddos = true}}, q_local, q_geoip);
  EXPECT_EQ(oa->tables.size(), 1u);
  EXPECT_EQ(lc.take(),
            std::vector<std::string>{"error/misc: An error occurred in local_queue_processing (ddos): window failed"});
}

// Empty countries are filled from the country data; addresses it does not
// know go to the GeoIP worker, each once.
TEST(Feeder, FillsCountriesAndQueuesUnknownAddresses) {
  const std::string db = "/usr/share/GeoIP/GeoIP.dat";
  if (!std::filesystem::exists(db)) GTEST_SKIP() << "no GeoIP country data";
  const core::GeoData geo = core::GeoData::load(db);
  const std::string known = "8.8.8.8";
  ASSERT_FALSE(geo.country(known).empty());
  LogCapture lc;
  LocalQueue q_local;
  EventQueue q_geoip;
  q_local.put({{rec("1", known), rec("2", "10.1.2.3"), rec("3", "10.1.2.3"), rec("4", known, "ZZ"), rec("5", 5)},
               {},
               {rec("b", known)},
               true});
  auto ml = std::make_shared<Ml>();
  auto bf = std::make_shared<Window>();
  core::local_queue_processing({nullptr, nullptr, LockMap{}, geo, lc.sink()}, {.bf = bf, .ml = ml, .on = {.bf = true}},
                               q_local, q_geoip);
  ASSERT_EQ(ml->tables.size(), 1u);
  const auto& t = ml->tables[0];
  EXPECT_EQ(t[0].cc, geo.country(known));
  EXPECT_EQ(t[1].cc, "");
  EXPECT_EQ(t[3].cc, "ZZ");  // a country already set stays
  EXPECT_EQ(t[4].cc, "");
  ASSERT_EQ(bf->tables.size(), 1u);
  EXPECT_EQ(bf->tables[0][0].cc, geo.country(known));  // the candidate rows too
  const auto item = q_geoip.try_get();
  ASSERT_TRUE(item);
  EXPECT_EQ(*item, Json({{"ips", {"10.1.2.3"}}}));
}

// Schema generation gets the columns it reads of each row, the JSON body in
// place of the body; the row stays whole for the others.
TEST(Feeder, SchemaRowsCarryTheSchemaColumns) {
  LogCapture lc;
  LocalQueue q_local;
  EventQueue q_geoip;
  RequestRecord form = rec("1", "192.0.2.1");
  form.vhost = "h";
  form.url = "/form";
  form.method = "POST";
  form.content_type = "application/x-www-form-urlencoded";
  form.body = "a=1";
  form.ua = "agent";
  form.other_headers = "x: y";
  form.orig_zone_data = {{"url", "L2Zvcm0="}};
  form.extras["schema_name"] = "h";
  RequestRecord json = form;
  json.request_id = "2";
  json.body = "normalised";
  json.jbody = R"({"a":1})";
  q_local.put({{form, json}, {}, {}, true});
  auto oa = std::make_shared<Window>();
  auto ml = std::make_shared<Ml>();
  core::local_queue_processing({nullptr, nullptr, LockMap{}, core::GeoData(), lc.sink()}, {.ml = ml, .oa = oa}, q_local,
                               q_geoip);
  ASSERT_EQ(oa->tables.size(), 1u);
  ASSERT_EQ(oa->tables[0].size(), 2u);
  const RequestRecord& f = oa->tables[0][0];
  EXPECT_EQ(f.request_id, "1");
  EXPECT_EQ(f.vhost, "h");
  EXPECT_EQ(f.url, "/form");
  EXPECT_EQ(f.method, "POST");
  EXPECT_EQ(f.content_type, "application/x-www-form-urlencoded");
  EXPECT_EQ(f.body, "a=1");
  EXPECT_EQ(f.extras, Json({{"schema_name", "h"}}));
  EXPECT_TRUE(f.id.empty() && f.ua.empty() && f.other_headers.empty() && f.orig_zone_data.empty() && f.ip.is_null());
  const RequestRecord& j = oa->tables[0][1];
  EXPECT_EQ(j.jbody, R"({"a":1})");
  EXPECT_TRUE(j.body.empty());
  ASSERT_EQ(ml->tables.size(), 1u);
  EXPECT_EQ(ml->tables[0][1].body, "normalised");
  EXPECT_EQ(ml->tables[0][1].ua, "agent");
}

TEST(Feeder, QueueSizeReport) {
  LogCapture lc;
  core::mp_queue_size_report(3, "q_ec", lc.sink());
  EXPECT_TRUE(lc.take().empty());
  core::mp_queue_size_report(3, "q_ec", lc.sink(true));
  EXPECT_EQ(lc.take(), std::vector<std::string>{"debug/misc: Queue q_ec size: 3"});
  core::mp_queue_size_report(core::kQueueSizeWarning + 1, "q_local", lc.sink());
  EXPECT_EQ(lc.take(), std::vector<std::string>{"warn/misc: Queue q_local holds 100001 items"});
}

TEST(HwOverload, RuleWithHysteresis) {
  struct Case {
    double load1;
    unsigned cpus;
    double mem_free;  // share of the memory available
    bool before, after;
  };
  const std::vector<Case> cases = {
      {1.0, 4, 0.50, false, false}, {8.0, 4, 0.50, false, false},  // 2 per processor is still fine
      {8.1, 4, 0.50, false, true},  {1.0, 4, 0.04, false, true},   // memory short
      {7.0, 4, 0.50, true, true},   {5.9, 4, 0.50, true, false},   // below 1.5 per processor: over
      {1.0, 4, 0.08, true, true},   {1.0, 4, 0.11, true, false},   // memory back above 10 %
      {0.5, 0, 0.50, false, false},                                // no processor count: one
  };
  for (const auto& c : cases) {
    core::HwSample s{c.load1, c.cpus, 1000, static_cast<unsigned long long>(c.mem_free * 1000)};
    EXPECT_EQ(core::hw_overloaded(s, c.before), c.after)
        << c.load1 << " " << c.cpus << " " << c.mem_free << " " << c.before;
  }
}

TEST(HwOverload, SetsTheFlagOnChangesAndLogsThem) {
  LocalNsg nsg;
  LogCapture lc;
  std::vector<core::HwSample> samples = {{1, 2, 100, 50}, {5, 2, 100, 50}, {4, 2, 100, 50}, {1, 2, 100, 50}};
  std::atomic<std::size_t> next{0};
  std::vector<bool> flags;
  std::stop_source stop;
  core::HwOverloadOptions opts;
  opts.period = 1ms;
  opts.sample = [&]() -> std::optional<core::HwSample> {
    const std::size_t i = next++;
    if (i > 0 && i <= samples.size()) flags.push_back(nsg.overload());
    if (i >= samples.size()) {
      stop.request_stop();
      return std::nullopt;
    }
    return samples[i];
  };
  core::hw_overload_check(nsg, lc.sink(), stop.get_token(), opts);
  EXPECT_EQ(flags, (std::vector<bool>{false, true, true, false}));
  EXPECT_EQ(lc.take(),
            (std::vector<std::string>{
                "warn/os: Hardware overload: load average 5.00 on 2 processor(s), 50.0% of the memory available",
                "info/os: Hardware overload is over: load average 1.00 on 2 processor(s), 50.0% of the memory "
                "available"}));
}

TEST(HwOverload, ReadsTheMachinesFigures) {
  const auto s = core::hw_sample();
  ASSERT_TRUE(s);
  EXPECT_GE(s->cpus, 1u);
  EXPECT_GT(s->mem_total, 0u);
  EXPECT_LE(s->mem_available, s->mem_total);
}
