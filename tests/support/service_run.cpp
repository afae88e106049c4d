#include "support/service_run.h"

#include <utility>

#include "core/net/amqp.h"
#include "shared/runtime/child.h"
#include "shared/runtime/interrupt.h"
#include "shared/runtime/nsg.h"

namespace tessel::testing {

void answer_settings(MgmtSim& sim, const Json& settings, const Json& vhosts) {
  sim.set_api_answer("/v2/get_tessel_settings",
                     Json{{"body", {{"status", "success"}, {"hash", "h1"}, {"settings", settings}}}});
  sim.set_api_answer("/get_tessel_settings_hash", Json{{"body", {{"status", "success"}, {"hash", "h1"}}}});
  sim.set_api_answer("/v2/get_vhosts_list",
                     Json{{"body", {{"status", "success"}, {"hash", "v1"}, {"vhosts", vhosts}}}});
}

std::string write_service_conf(const TempDir& dir, const MgmtSim& sim, const BrokerAddress& b, bool debug,
                               const std::string& extra) {
  const std::string conf = dir.file("tessel.conf");
  write_file(conf, std::string("[main]\ndebug = ") + (debug ? "true" : "false") +
                       "\napi_key = k1\napi_uri = " + sim.api_base() + "\n[run]\nrmq_host = " + b.user + ":" +
                       b.password + "@" + b.host + ":" + std::to_string(b.port) + "/" + b.vhost + "\n" + extra);
  return conf;
}

WafPublisher::WafPublisher(std::string url, std::function<std::vector<WafRequest>(int n)> batch,
                           std::chrono::milliseconds period)
    : thread_([this, url = std::move(url), batch = std::move(batch), period] {
        auto conn = core::AmqpConnection::open(url);
        auto ch = conn->channel();
        ch->queue_declare("vexa");
        for (int n = 0; !stop_; ++n) {
          for (const auto& w : batch(n)) {
            Json m = waf_message(w);
            m["timestamp"] = unix_now();
            ch->publish("", "vexa", m.dump());
          }
          std::this_thread::sleep_for(period);
        }
      }) {}

WafPublisher::~WafPublisher() {
  stop_ = true;
  thread_.join();
}

void RunStopper::dfs_processing(const std::shared_ptr<SharedNamespace>& nsi, RequestTable ndfs) {
  if (inner) inner->dfs_processing(nsi, std::move(ndfs));
  if (done() || std::chrono::steady_clock::now() - started > cap) throw Interrupted{};
}

void run_service(const std::string& conf, const svc::RunOptions& opts) {
  LocalNsg nsg;
  try {
    svc::tessel_main(nsg, conf, conf, opts);
  } catch (const Interrupted&) {
  }
}

}  // namespace tessel::testing
