#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "core/net/amqp.h"
#include "core/log.h"
#include "core/workers/overload.h"
#include "ingestor/detail.h"
#include "ingestor/ingestor.h"

namespace tessel::ingestor {

namespace {

// Parses and sorts the message bodies of one pass, in consumption order, on
// a thread of its own, so that consuming and acknowledging go on meanwhile.
// Chunks are handed over at the points the consumer marks. Without a thread
// (none could be started) everything happens on the caller's thread.
class PassParser {
 public:
  using HandOver = std::function<void(RequestMessages&, RequestMessages&)>;

  PassParser(HandOver hand_over, bool use_dyn_unlock, const LogSink& sink)
      : hand_over_(std::move(hand_over)), use_dyn_unlock_(use_dyn_unlock), sink_(sink) {
    block_.reserve();
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // parse inline
    }
  }
  ~PassParser() { finish(); }

  void add(std::string_view body) {
    block_.items.push_back({block_.bytes.size(), body.size(), Kind::kBody});
    block_.bytes.append(body);
    if (block_.items.size() >= kBlockItems || block_.bytes.size() >= kBlockBytes) flush();
  }
  // The chunk ends after the bodies added so far.
  void chunk_end() {
    block_.items.push_back({0, 0, Kind::kChunkEnd});
    flush();
  }
  // Waits until every body is parsed; the rest stays in udata and rdata.
  void finish() {
    if (!thread_.joinable()) {
      flush();
      return;
    }
    block_.items.push_back({0, 0, Kind::kPassEnd});
    flush();
    thread_.join();
  }

  RequestMessages udata;
  RequestMessages rdata;

 private:
  enum class Kind { kBody, kChunkEnd, kPassEnd };
  struct Item {
    std::size_t offset;
    std::size_t length;
    Kind kind;
  };
  // Bodies of a block in one buffer: one allocation per block, not per
  // message, on the consumer's thread.
  struct Block {
    std::string bytes;
    std::vector<Item> items;
    void reserve() {
      bytes.reserve(kBlockBytes + 4096);
      items.reserve(kBlockItems + 1);
    }
  };
  static constexpr std::size_t kBlockItems = 256;
  static constexpr std::size_t kBlockBytes = 256 * 1024;
  // Blocks waiting for the parser at most: the consumer holds about one
  // chunk of messages ahead of it, never the whole pass.
  static constexpr std::size_t kMaxWaiting = 100;

  void flush() {
    if (block_.items.empty()) return;
    if (!thread_.joinable()) {
      process(block_);
    } else {
      {
        std::unique_lock lk(mu_);
        space_.wait(lk, [&] { return blocks_.size() < kMaxWaiting; });
        blocks_.push_back(std::move(block_));
      }
      cv_.notify_one();
    }
    block_ = Block();
    block_.reserve();
  }

  void run() {
    for (;;) {
      Block block;
      {
        std::unique_lock lk(mu_);
        cv_.wait(lk, [&] { return !blocks_.empty(); });
        block = std::move(blocks_.front());
        blocks_.pop_front();
      }
      space_.notify_one();
      if (process(block)) return;
    }
  }

  // True at the end of the pass.
  bool process(const Block& block) {
    for (const auto& item : block.items) {
      switch (item.kind) {
        case Kind::kBody:
          sort(std::string_view(block.bytes).substr(item.offset, item.length));
          break;
        case Kind::kChunkEnd:
          hand_over_(udata, rdata);
          break;
        case Kind::kPassEnd:
          return true;
      }
    }
    return false;
  }

  void sort(std::string_view body) {
    try {
      Json parsed = parse_json_body(body);
      if (!parsed.is_object()) throw std::invalid_argument("the message is not a JSON object");
      if (is_unlock_request(parsed)) {
        if (use_dyn_unlock_) udata.push_back(std::move(parsed));
      } else {
        rdata.push_back(std::move(parsed));
      }
    } catch (const std::exception& e) {
      core::log_processing(sink_, "error", "dyn",
                           std::string("An error occurred while processing JSON data from Corvane WAF: ") + e.what());
    }
  }

  HandOver hand_over_;
  const bool use_dyn_unlock_;
  LogSink sink_;
  Block block_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable space_;
  std::deque<Block> blocks_;
  std::thread thread_;
};

}  // namespace

void rmq_vexa_receiver(Nsg& nsg, std::shared_ptr<SharedNamespace> nsi, const std::string& rmq_rhost,
                       const std::string& tessel_rmq_q, const RmqParamList& rmq_rc_param_list,
                       const std::string& rmq_rconnection_param, bool use_dyn_unlock,
                       std::shared_ptr<LocalQueue> q_local, bool ddos_en, bool bf_en,
                       const std::vector<std::string>& mlvh_list, const LogSink& sink, const IntakeOptions& opts) {
  ChildEntries processes;
  std::int64_t pttl = opts.clock() + opts.housekeeping_period;
  const std::string rmq_q = "vexa";

  // Runs on the pass's parser thread while the consumer waits for nothing
  // but the broker; `processes` is the parser's until the pass's finish().
  auto hand_over = [&](RequestMessages& udata, RequestMessages& rdata) {
    processes = vexa_data_preprocessing(nsg, nsi, std::move(udata), std::move(rdata), std::move(processes), q_local,
                                        ddos_en, bf_en, mlvh_list, rmq_rhost, tessel_rmq_q, rmq_rc_param_list, sink);
    udata = RequestMessages();
    rdata = RequestMessages();
  };

  for (;;) {
    try {
      std::size_t cnt = 0;
      std::int64_t hwts = opts.clock();

      if (nsg.restart_signal()) return;
      core::is_hw_overload(nsg);

      auto connection = core::AmqpConnection::open(rmq_rconnection_param);
      auto channel = connection->channel();
      std::int64_t rmq_msg_cnt = channel->queue_declare(rmq_q);

      RequestMessages udata;
      RequestMessages rdata;
      std::uint64_t unacked = 0;  // delivery tag of the last message not acknowledged yet
      if (rmq_msg_cnt != 0) {
        PassParser parser(hand_over, use_dyn_unlock, sink);
        // The broker delivers at most `prefetch` messages beyond those
        // acknowledged. With no more in flight than the pass expects, and
        // the last `prefetch` messages acknowledged together once the
        // consumer is cancelled, it never delivers more than the pass
        // declared, so a pass that takes all it expects hands nothing back.
        const auto prefetch =
            static_cast<std::uint16_t>(std::min<std::int64_t>(opts.prefetch == 0 ? 1 : opts.prefetch, rmq_msg_cnt));
        try {
          channel->qos(prefetch);
          channel->consume(rmq_q);
          core::AmqpMessage msg;
          // A delivery that does not come within the wait ends the batch,
          // so the restart signal is always seen and nothing acknowledged
          // waits for messages that may never come.
          while (channel->next(msg, opts.delivery_wait)) {
            const std::int64_t cts = opts.clock();
            ++cnt;
            --rmq_msg_cnt;
            // Parsed and sorted in order on the pass's parser thread; the
            // message is in memory before it is acknowledged.
            parser.add(msg.body);
            if (rmq_msg_cnt >= prefetch) {
              channel->ack(msg.delivery_tag);
            } else {
              unacked = msg.delivery_tag;
            }
            if (cnt > opts.data_lmt) {
              parser.chunk_end();
              cnt = 0;
            }
            if (rmq_msg_cnt < 1) break;
            if (cts - hwts > 0) {
              hwts = cts;
              if (nsg.restart_signal()) break;
            }
          }
        } catch (const std::exception& e) {
          core::log_processing(sink, "error", "rabbitmq",
                               "An error occurred while receiving data from RabbitMQ " + rmq_q + " queue (" +
                                   rmq_rhost + "): " + e.what());
          std::this_thread::sleep_for(opts.loop_failure_pause);
        }
        parser.finish();
        udata = std::move(parser.udata);
        rdata = std::move(parser.rdata);
      }
      if (!udata.empty() || !rdata.empty()) hand_over(udata, rdata);
      std::tie(processes, pttl) = processes_control("VDNP", std::move(processes), pttl, sink, opts);

      const std::size_t pending = channel->cancel();
      // What the pass holds unacknowledged; on a lost connection the broker
      // delivers it again.
      if (unacked != 0) channel->ack(unacked, true);
      if (pending > 0) {
        core::log_processing(sink, "error", "rabbitmq",
                             "An error occurred while processing messages from RabbitMQ " + rmq_q + " queue (" +
                                 rmq_rhost + "): " + std::to_string(pending) + " pending message(s)");
      }
      core::rmq_channel_close(channel.get());
      core::rmq_connection_close(connection.get());
      std::this_thread::sleep_for(opts.cycle_pause);
    } catch (const std::exception& e) {
      core::log_processing(sink, "error", "misc",
                           "An error occurred in rmq_vexa_receiver (" + rmq_rhost + "): " + e.what());
      std::this_thread::sleep_for(opts.failed_pass_pause);
    } catch (...) {
      core::log_processing(sink, "error", "misc",
                           "An error occurred in rmq_vexa_receiver (" + rmq_rhost + "): unknown error");
      std::this_thread::sleep_for(opts.failed_pass_pause);
    }
  }
}

}  // namespace tessel::ingestor
