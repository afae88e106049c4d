#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/data/spool.h"
#include "ingestor/ingestor.h"
#include "shared/pyvalues/pyjson.h"
#include "support/temp_dir.h"
#include "support/waf_messages.h"

namespace tessel::ingestor {
namespace {

using ::testing::ElementsAre;
using testing::event_lines;

class Dispatch : public ::testing::Test {
 protected:
  ChildEntries dispatch(RequestMessages udata, const RequestMessages& rdata, ChildEntries processes,
                        bool debug = false) {
    RequestBodies bodies;
    for (const auto& m : rdata) bodies.add(json_dumps(m));
    auto out = vexa_data_preprocessing(nsg_, nsi_, std::move(udata), std::move(bodies), std::move(processes),
                                       {.q_local = q_local_}, {.rmq_rhost = "broker-a", .tessel_rmq_q = "tessel"},
                                       LogSink{q_ec_, sink_.log, debug});
    for (auto& e : out) e.child->join(std::chrono::seconds(10));
    return out;
  }
  std::size_t spooled() const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_.path())) ++n;
    return n;
  }
  LocalNsg nsg_;
  testing::TempDir dir_;
  std::shared_ptr<SharedNamespace> nsi_ = testing::intake_nsi(dir_.str());
  std::shared_ptr<LocalQueue> q_local_ = std::make_shared<LocalQueue>();
  std::shared_ptr<EventQueue> q_ec_ = std::make_shared<EventQueue>();
  LogSink sink_{q_ec_, std::make_shared<Logger>("intake-test"), false};
  const Json captcha_ = [] {
    Json m = testing::waf_message();
    m["request_type"] = "captcha";
    return m;
  }();
};

TEST_F(Dispatch, EmptyChunkStartsNothing) {
  auto out = dispatch({}, {}, {});
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(spooled(), 0u);
  EXPECT_TRUE(q_ec_->empty());
}

TEST_F(Dispatch, UnlockFirstThenNormaliserWithDebugLines) {
  auto out = dispatch({captcha_}, {testing::waf_message()}, {}, true);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].child->name(), "VUDNP");
  EXPECT_EQ(out[1].child->name(), "VRDNP");
  // The children's own lines interleave with the dispatcher's.
  std::vector<std::string> started;
  for (auto& line : event_lines(*q_ec_))
    if (line.find("is running") != std::string::npos) started.push_back(line);
  EXPECT_THAT(started, ElementsAre("debug os VUDNP is running (PID: " + std::to_string(out[0].child->pid()) + ")",
                                   "debug os VRDNP is running (PID: " + std::to_string(out[1].child->pid()) + ")"));
  ASSERT_EQ(q_local_->qsize(), 1u);
  EXPECT_EQ(q_local_->get().table.size(), 1u);
  EXPECT_EQ(spooled(), 0u);
}

TEST_F(Dispatch, OverloadSpoolsRequestDataButNotUnlockData) {
  nsg_.set_overload(true);
  auto out = dispatch({}, {testing::waf_message(), testing::waf_message()}, {});
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(spooled(), 1u);

  out = dispatch({captcha_}, {testing::waf_message()}, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].child->name(), "VUDNP");
  EXPECT_EQ(spooled(), 2u);
  EXPECT_EQ(q_local_->qsize(), 0u);
  EXPECT_TRUE(q_ec_->empty());

  auto b = core::rmq_vexa_data_load(dir_.str(), sink_);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->data.size(), 2u);
  EXPECT_EQ(b->data[0], testing::waf_message());
}

TEST_F(Dispatch, RequestDataTheSpoolCannotTakeGoesToANormaliser) {
  nsg_.set_overload(true);
  nsi_->set("rmq_vexa_dir", Json(dir_.file("missing/")));
  auto out = dispatch({}, {testing::waf_message()}, {});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].child->name(), "VRDNP");
  ASSERT_EQ(q_local_->qsize(), 1u);
  EXPECT_EQ(q_local_->get().table.size(), 1u);
  auto lines = event_lines(*q_ec_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], ::testing::StartsWith("error os An error occurred while saving data to "));
}

}  // namespace
}  // namespace tessel::ingestor
