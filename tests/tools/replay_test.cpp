// The replayer against a broker that goes away in the middle of a run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/net/amqp.h"
#include "support/broker.h"
#include "support/cutting_relay.h"
#include "support/temp_dir.h"

namespace tt = tessel::testing;
using tt::CuttingRelay;
using tt::TempDir;

namespace {

struct ReplayRun {
  int status = -1;
  std::string out, err;
};

ReplayRun replay(const TempDir& dir, const std::string& args) {
  const std::string out = dir.file("out.txt"), err = dir.file("err.txt");
  const std::string cmd = std::string(TESSEL_BINARY_DIR) + "/bin/tessel-replay " + args + " " + dir.file("msgs.jsonl") +
                          " >" + out + " 2>" + err;
  const int rc = std::system(cmd.c_str());
  ReplayRun r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = tt::read_file(out);
  r.err = tt::read_file(err);
  return r;
}

// The count in "...; N message(s) published to QUEUE" of a standard error text.
long long published_count(const std::string& err, const std::string& queue) {
  const std::string tail = " message(s) published to " + queue;
  const auto at = err.find(tail);
  if (at == std::string::npos) return -1;
  const auto start = err.rfind("; ", at);
  return start == std::string::npos ? -1 : std::stoll(err.substr(start + 2, at - start - 2));
}

}  // namespace

// Without --reconnect the run ends with the count published until the
// broker went away; with it, the run connects again and publishes the rest.
TEST(Replay, BrokerGoingAwayReportsTheCountOrReconnects) {
  TESSEL_REQUIRE_BROKER();
  const int kMessages = 3000;
  TempDir dir;
  std::string lines;
  for (int i = 0; i < kMessages; ++i)
    lines += "{\"n\": " + std::to_string(i) + ", \"pad\": \"" + std::string(400, 'x') + "\"}\n";
  tt::write_file(dir.file("msgs.jsonl"), lines);
  const tt::BrokerAddress broker = tt::broker_address();

  for (const bool reconnect : {false, true}) {
    SCOPED_TRACE(reconnect ? "--reconnect" : "no --reconnect");
    const std::string queue = tt::unique_name("replay");
    // about a third of the messages' bytes pass before the cut
    CuttingRelay relay(broker.port, static_cast<std::size_t>(kMessages) * 420 / 3, CuttingRelay::Counted::kFromClient);
    ASSERT_NE(relay.port(), 0);
    tt::BrokerAddress via = broker;
    via.port = relay.port();
    const ReplayRun r =
        replay(dir, "--url '" + tt::broker_url(via) + "' --queue " + queue + (reconnect ? " --reconnect" : ""));
    EXPECT_TRUE(relay.cut());
    const long long before_cut = published_count(r.err, queue);
    EXPECT_GT(before_cut, 0) << r.err;
    EXPECT_LT(before_cut, kMessages) << r.err;

    auto conn = tessel::core::AmqpConnection::open(tt::broker_url(broker));
    auto ch = conn->channel();
    const std::uint32_t held = ch->queue_declare(queue);
    ch->queue_delete(queue);
    if (reconnect) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.err.find("connected again after " + std::to_string(before_cut) + " message(s)"), std::string::npos)
          << r.err;
      EXPECT_EQ(r.out.rfind("published " + std::to_string(kMessages) + " message(s) to " + queue, 0), 0u) << r.out;
      // what was published after the reconnection arrived
      EXPECT_GE(held, static_cast<std::uint32_t>(kMessages - before_cut));
    } else {
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_LE(held, static_cast<std::uint32_t>(before_cut));
    }
  }
}

// --seconds ends a run without a count, the file repeating; --progress prints
// rising counts on the way; what the last line names is in the queue.
TEST(Replay, SecondsEndTheRunAndProgressCounts) {
  TESSEL_REQUIRE_BROKER();
  TempDir dir;
  tt::write_file(dir.file("msgs.jsonl"), "{\"n\": 1}\n{\"n\": 2}\n{\"n\": 3}\n");
  const tt::BrokerAddress broker = tt::broker_address();
  const std::string queue = tt::unique_name("replay");
  const ReplayRun r = replay(
      dir, "--url '" + tt::broker_url(broker) + "' --queue " + queue + " --rate 400 --seconds 0.5 --progress 0.1");
  ASSERT_EQ(r.status, 0) << r.err;

  long long last = -1, final_count = -1;
  std::size_t pos = 0;
  for (std::size_t nl; (nl = r.out.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    const std::string line = r.out.substr(pos, nl - pos);
    ASSERT_EQ(line.rfind("published ", 0), 0u) << r.out;
    const long long n = std::stoll(line.substr(10));
    if (line.find(" to " + queue + " in ") != std::string::npos) {
      final_count = n;
    } else {
      EXPECT_GE(n, last) << r.out;
      last = n;
    }
  }
  EXPECT_GE(final_count, last) << r.out;
  EXPECT_GT(final_count, 0) << r.out;

  auto conn = tessel::core::AmqpConnection::open(tt::broker_url(broker));
  auto ch = conn->channel();
  const std::uint32_t held = ch->queue_declare(queue);
  ch->queue_delete(queue);
  EXPECT_EQ(held, static_cast<std::uint32_t>(final_count));
}

// --vary-addresses: each repetition of the file moves the 10.N.x.y (N < 4)
// client addresses to a block of their own; other messages stay as they are.
TEST(Replay, VaryAddressesMovesEachRepetitionToABlockOfItsOwn) {
  TESSEL_REQUIRE_BROKER();
  TempDir dir;
  tt::write_file(dir.file("msgs.jsonl"),
                 "{\"ip\": \"10.2.5.6\", \"n\": 1}\n{\"ip\": \"10.250.0.1\"}\n{\"ip\": \"192.168.0.1\"}\n");
  const tt::BrokerAddress broker = tt::broker_address();
  const std::string queue = tt::unique_name("replay");
  const ReplayRun r =
      replay(dir, "--url '" + tt::broker_url(broker) + "' --queue " + queue + " --count 9 --vary-addresses");
  ASSERT_EQ(r.status, 0) << r.err;
  auto conn = tessel::core::AmqpConnection::open(tt::broker_url(broker));
  auto ch = conn->channel();
  std::vector<std::string> got;
  tessel::core::AmqpMessage msg;
  while (got.size() < 9 && ch->get(queue, msg)) got.emplace_back(msg.body);
  ch->queue_delete(queue);
  const std::vector<std::string> expected = {
      "{\"ip\": \"10.2.5.6\", \"n\": 1}",  "{\"ip\": \"10.250.0.1\"}", "{\"ip\": \"192.168.0.1\"}",
      "{\"ip\": \"10.6.5.6\", \"n\": 1}",  "{\"ip\": \"10.250.0.1\"}", "{\"ip\": \"192.168.0.1\"}",
      "{\"ip\": \"10.10.5.6\", \"n\": 1}", "{\"ip\": \"10.250.0.1\"}", "{\"ip\": \"192.168.0.1\"}"};
  EXPECT_EQ(got, expected);
}
