#include <gtest/gtest.h>

#include <memory>

#include "classify_fixture.h"
#include "orvik/classify/preprocessing.h"
#include "orvik/dataset/staging.h"
#include "shared/runtime/lock.h"

namespace tessel::orvik {
namespace {

// The service's own data store: exported exceptions from "mt.json" clear a
// flagged zone, and clean requests reach the host's staging file.
TEST(ClassifyStore, ExportedDataAndStagingFile) {
  tessel::testing::TempDir dir;
  testing::write_models(dir.str(), "shop.test");
  tessel::testing::LogCapture logs;
  ClassifyServices services = ClassifyServices::real();
  services.rmq_bt_processing = nullptr;  // no brokers here
  ClassifyContext cc = testing::context(dir.str(), logs, services);
  tessel::testing::write_file(cc.mt_fname, R"([{"vhost": "shop.test", "cookie": "' or 1=1 --"}])");
  const std::string db = dir.file("shop.test_1.db");
  LockMap locks{{"shop.test", std::make_shared<ProcessLock>()}};
  RequestTable t = {
      testing::request("s1", "shop.test", {{"cookie", "' or 1=1 --"}}),
      testing::request("s2", "shop.test", {{"cookie", "' or 1=1 --"}, {"args", "<script>alert(1)</script>"}}),
      testing::request("s3", "shop.test", {{"args", "id=15\r\npage=2"}}),
  };
  ml_preprocessing(nullptr, t, locks, MlHosts{Json{{"shop.test", db}}, true, {"shop.test"}}, cc);
  auto tables = cc.ctx.queues.q_mt_api->drain();
  ASSERT_EQ(tables.size(), 1u);
  ASSERT_EQ(tables[0].size(), 1u);
  EXPECT_EQ(tables[0][0].request_id, "s2");
  EXPECT_EQ(tables[0][0].mz, "args");
  EXPECT_EQ(get_cnt_from_db(db, cc.ctx.sink), 2);  // s1 cleared, s3 clean
}

}  // namespace
}  // namespace tessel::orvik
