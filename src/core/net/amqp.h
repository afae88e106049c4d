#pragma once
// A thin wrapper over rabbitmq-c: one blocking connection with its channels,
// used by one thread at a time. Failures throw AmqpError with a readable
// text; destructors close what is still open, quietly, on every path.
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessel::core {

class AmqpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Connection parameters as read from an AMQP URL:
//   amqp[s]://user:password@host[:port]/vhost?blocked_connection_timeout=30
// User, password and virtual host are percent-decoded ("+" in the virtual
// host is a space, as the configuration quotes it); an empty path is the
// virtual host "/". Ports default to 5672 (amqp) and 5671 (amqps).
struct AmqpParams {
  bool tls = false;
  std::string host = "localhost";
  int port = 5672;
  std::string user = "guest";
  std::string password = "guest";
  std::string vhost = "/";
  // Heartbeat interval proposed to the broker, seconds (0: none).
  int heartbeat = 60;
  // Time-out of the TCP connect, seconds.
  int socket_timeout = 10;
  // Seconds a broker operation may wait for the broker (a connection the
  // broker blocks, a peer that stopped answering) before it fails; 0: no
  // limit. From the URL query "blocked_connection_timeout".
  int blocked_connection_timeout = 0;
};

// Parses an AMQP URL; throws AmqpError on a malformed URL or an unknown
// query parameter.
AmqpParams parse_amqp_url(std::string_view url);

// One message taken from a queue. `body` stays valid until the next
// receive (next() or get()) on the same channel.
struct AmqpMessage {
  std::uint64_t delivery_tag = 0;
  bool redelivered = false;
  std::string_view body;
};

class AmqpConnection;

class AmqpChannel {
 public:
  ~AmqpChannel();
  AmqpChannel(const AmqpChannel&) = delete;
  AmqpChannel& operator=(const AmqpChannel&) = delete;

  // Declares `queue`; returns the message count of the declare-ok.
  std::uint32_t queue_declare(const std::string& queue, bool passive = false, bool durable = false,
                              bool exclusive = false, bool auto_delete = false);
  // Deletes `queue` with its messages.
  void queue_delete(const std::string& queue);
  // Limits the deliveries not yet acknowledged on this channel.
  void qos(std::uint16_t prefetch_count);
  // Starts a consumer on `queue` with manual acknowledgement.
  void consume(const std::string& queue);
  bool consuming() const { return consuming_; }
  // Waits at most `timeout` for the next delivery; false on time-out.
  bool next(AmqpMessage& msg, std::chrono::milliseconds timeout);
  // With a pause, next() lets deliveries gather that long before it reads
  // a socket that holds little, so that one read takes many of them: fewer
  // wake-ups and system calls for a consumer that keeps up with the broker.
  void set_read_pause(std::chrono::microseconds pause) { read_pause_ = pause; }
  // Basic get with manual acknowledgement; false when the queue is empty.
  bool get(const std::string& queue, AmqpMessage& msg);
  void ack(std::uint64_t delivery_tag, bool multiple = false);
  // Cancels the consumer. Deliveries that reached the client but were not
  // taken up are handed back to the broker; returns their number. Those
  // taken up and not acknowledged are left to the caller. Without a
  // consumer: 0.
  std::size_t cancel();
  void publish(const std::string& exchange, const std::string& routing_key, std::string_view body,
               bool persistent = false);
  // Closes the channel; throws when the broker cannot be told.
  void close();
  bool is_open() const;
  int id() const { return id_; }

 private:
  friend class AmqpConnection;
  struct Conn;
  AmqpChannel(std::shared_ptr<Conn> conn, int id);
  void release_message();
  void pause_before_read();
  [[noreturn]] void fail(const std::string& what, int status);
  void check_rpc(const std::string& what);

  std::shared_ptr<Conn> conn_;
  int id_;
  bool open_ = true;
  bool consuming_ = false;
  std::chrono::microseconds read_pause_{0};
  std::string consumer_tag_;
  struct Held;
  std::unique_ptr<Held> held_;
};

class AmqpConnection {
 public:
  // Connects and logs in; throws AmqpError.
  explicit AmqpConnection(const AmqpParams& params);
  static std::unique_ptr<AmqpConnection> open(std::string_view url);
  ~AmqpConnection();
  AmqpConnection(const AmqpConnection&) = delete;
  AmqpConnection& operator=(const AmqpConnection&) = delete;

  // Opens a new channel.
  std::unique_ptr<AmqpChannel> channel();
  // Closes the connection; throws when the broker cannot be told.
  void close();
  bool is_open() const;
  // "host:port", for messages.
  const std::string& peer() const;

 private:
  std::shared_ptr<AmqpChannel::Conn> conn_;
  int next_channel_ = 1;
};

// Close calls of the intake workers; they never throw.
void rmq_channel_close(AmqpChannel* channel) noexcept;
void rmq_connection_close(AmqpConnection* connection) noexcept;

}  // namespace tessel::core
