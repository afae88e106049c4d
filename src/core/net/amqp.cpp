#include "core/net/amqp.h"

#include <amqp.h>
#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

#include "shared/pyvalues/percent.h"

namespace tessel::core {

namespace {

int parse_int(std::string_view text, const char* what) {
  if (text.empty() || text.size() > 9)
    throw AmqpError(std::string("invalid ") + what + ": '" + std::string(text) + "'");
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw AmqpError(std::string("invalid ") + what + ": '" + std::string(text) + "'");
    v = v * 10 + (c - '0');
  }
  return v;
}

timeval to_timeval(std::chrono::milliseconds d) {
  if (d.count() < 0) d = std::chrono::milliseconds(0);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(d.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((d.count() % 1000) * 1000);
  return tv;
}

std::string bytes_text(const amqp_bytes_t& b) { return std::string(static_cast<const char*>(b.bytes), b.len); }

std::string status_text(int status, int saved_errno) {
  std::string t = amqp_error_string2(status);
  if ((status == AMQP_STATUS_SOCKET_ERROR || status == AMQP_STATUS_SSL_ERROR ||
       status == AMQP_STATUS_SSL_CONNECTION_FAILED) &&
      saved_errno != 0) {
    t += " (" + std::string(std::strerror(saved_errno)) + ")";
  }
  return t;
}

// A TCP connection to host:port within `timeout_s` seconds; throws with the
// system's reason (refused, unreachable, unknown host, timed out).
int tcp_connect(const std::string& host, int port, int timeout_s, const std::string& peer) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (gai != 0) throw AmqpError("connection to " + peer + " failed: " + ::gai_strerror(gai));
  std::string why = "no address";
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    int err = 0;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        pollfd pfd{fd, POLLOUT, 0};
        const int n = ::poll(&pfd, 1, timeout_s * 1000);
        if (n == 0) {
          err = ETIMEDOUT;
        } else if (n < 0) {
          err = errno;
        } else {
          socklen_t len = sizeof err;
          if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        }
      }
    }
    if (err == 0) {
      // rabbitmq-c expects a non-blocking socket (its waits poll) and
      // small frames sent at once.
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::freeaddrinfo(res);
      return fd;
    }
    why = std::strerror(err);
    ::close(fd);
  }
  ::freeaddrinfo(res);
  throw AmqpError("connection to " + peer + " failed: " + why);
}

}  // namespace

AmqpParams parse_amqp_url(std::string_view url) {
  AmqpParams p;
  std::string_view rest;
  if (url.substr(0, 7) == "amqp://") {
    rest = url.substr(7);
  } else if (url.substr(0, 8) == "amqps://") {
    p.tls = true;
    p.port = 5671;
    rest = url.substr(8);
  } else {
    throw AmqpError("not an AMQP URL (amqp:// or amqps://): '" + std::string(url) + "'");
  }
  std::string_view query;
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  std::string_view path;
  std::string_view authority = rest;
  if (auto slash = rest.find('/'); slash != std::string_view::npos) {
    authority = rest.substr(0, slash);
    path = rest.substr(slash + 1);
  }
  std::string_view hostport = authority;
  if (auto at = authority.rfind('@'); at != std::string_view::npos) {
    std::string_view cred = authority.substr(0, at);
    hostport = authority.substr(at + 1);
    auto colon = cred.find(':');
    p.user = percent_decode(cred.substr(0, colon), false);
    p.password = colon == std::string_view::npos ? std::string() : percent_decode(cred.substr(colon + 1), false);
  }
  if (!hostport.empty() && hostport.front() == '[') {
    auto close = hostport.find(']');
    if (close == std::string_view::npos) throw AmqpError("invalid host in AMQP URL: '" + std::string(hostport) + "'");
    p.host = std::string(hostport.substr(1, close - 1));
    std::string_view after = hostport.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw AmqpError("invalid host in AMQP URL: '" + std::string(hostport) + "'");
      p.port = parse_int(after.substr(1), "port in AMQP URL");
    }
  } else {
    auto colon = hostport.rfind(':');
    std::string_view h = hostport.substr(0, colon);
    if (colon != std::string_view::npos) p.port = parse_int(hostport.substr(colon + 1), "port in AMQP URL");
    p.host.clear();
    for (char c : h) p.host.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  }
  if (p.host.empty()) throw AmqpError("no host in AMQP URL: '" + std::string(url) + "'");
  if (p.port <= 0 || p.port > 65535) throw AmqpError("invalid port in AMQP URL: " + std::to_string(p.port));
  // The first path segment is the virtual host; none, or an empty one, is "/".
  if (auto slash = path.find('/'); slash != std::string_view::npos) path = path.substr(0, slash);
  if (!path.empty()) p.vhost = percent_decode(path, true);
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    auto eq = item.find('=');
    std::string name = percent_decode(item.substr(0, eq), true);
    std::string value = eq == std::string_view::npos ? std::string() : percent_decode(item.substr(eq + 1), true);
    if (name == "blocked_connection_timeout") {
      p.blocked_connection_timeout = parse_int(value, "blocked_connection_timeout");
    } else if (name == "heartbeat") {
      p.heartbeat = parse_int(value, "heartbeat");
    } else if (name == "socket_timeout") {
      p.socket_timeout = parse_int(value, "socket_timeout");
    } else {
      throw AmqpError("unknown AMQP URL parameter: '" + name + "'");
    }
  }
  return p;
}

// The connection state shared by the connection and its channels.
struct AmqpChannel::Conn {
  amqp_connection_state_t state = nullptr;
  std::string peer;
  bool open = false;    // logged in and not closed
  bool broken = false;  // the socket failed or the broker closed it

  ~Conn() {
    if (state == nullptr) return;
    if (open && !broken) {
      bound_rpc_wait();
      amqp_connection_close(state, AMQP_REPLY_SUCCESS);
    }
    amqp_destroy_connection(state);
  }

  // Closing on the way out must not hang on a broker that stopped answering.
  void bound_rpc_wait() {
    if (amqp_get_rpc_timeout(state) != nullptr) return;
    timeval tv = to_timeval(std::chrono::seconds(5));
    amqp_set_rpc_timeout(state, &tv);
  }

  // Turns a failed RPC reply into an error text; marks the connection
  // broken when the failure ends it.
  std::string reply_text(const amqp_rpc_reply_t& r, int channel) {
    switch (r.reply_type) {
      case AMQP_RESPONSE_NORMAL:
        return "no error";
      case AMQP_RESPONSE_NONE:
        broken = true;
        return "no reply from the broker";
      case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        broken = true;  // rabbitmq-c gives the connection up after a library error
        return status_text(r.library_error, errno);
      case AMQP_RESPONSE_SERVER_EXCEPTION:
        if (r.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
          auto* m = static_cast<amqp_connection_close_t*>(r.reply.decoded);
          amqp_connection_close_ok_t ok{};
          amqp_send_method(state, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
          broken = true;
          return "connection closed by the broker: (" + std::to_string(m->reply_code) + ") " +
                 bytes_text(m->reply_text);
        }
        if (r.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
          auto* m = static_cast<amqp_channel_close_t*>(r.reply.decoded);
          amqp_channel_close_ok_t ok{};
          amqp_send_method(state, static_cast<amqp_channel_t>(channel), AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
          return "channel closed by the broker: (" + std::to_string(m->reply_code) + ") " + bytes_text(m->reply_text);
        }
        return "unexpected reply from the broker (method " + std::to_string(r.reply.id) + ")";
    }
    return "unknown reply";
  }
};

struct AmqpChannel::Held {
  bool has_envelope = false;
  amqp_envelope_t envelope{};
  bool has_message = false;
  amqp_message_t message{};
};

AmqpChannel::AmqpChannel(std::shared_ptr<Conn> conn, int id)
    : conn_(std::move(conn)), id_(id), held_(std::make_unique<Held>()) {}

AmqpChannel::~AmqpChannel() {
  release_message();
  if (open_ && conn_->open && !conn_->broken) {
    conn_->bound_rpc_wait();
    amqp_channel_close(conn_->state, static_cast<amqp_channel_t>(id_), AMQP_REPLY_SUCCESS);
  }
}

bool AmqpChannel::is_open() const { return open_ && conn_->open && !conn_->broken; }

void AmqpChannel::release_message() {
  if (held_->has_envelope) {
    amqp_destroy_envelope(&held_->envelope);
    held_->has_envelope = false;
  }
  if (held_->has_message) {
    amqp_destroy_message(&held_->message);
    held_->has_message = false;
  }
  if (conn_->state != nullptr && !conn_->broken) amqp_maybe_release_buffers(conn_->state);
}

void AmqpChannel::fail(const std::string& what, int status) {
  const int saved = errno;
  if (status != AMQP_STATUS_TIMEOUT) conn_->broken = true;
  throw AmqpError(what + ": " + status_text(status, saved));
}

void AmqpChannel::check_rpc(const std::string& what) {
  amqp_rpc_reply_t r = amqp_get_rpc_reply(conn_->state);
  if (r.reply_type == AMQP_RESPONSE_NORMAL) return;
  if (r.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION && r.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
    open_ = false;
    consuming_ = false;
  }
  throw AmqpError(what + ": " + conn_->reply_text(r, id_));
}

std::uint32_t AmqpChannel::queue_declare(const std::string& queue, bool passive, bool durable, bool exclusive,
                                         bool auto_delete) {
  if (!is_open()) throw AmqpError("queue declare: the channel is closed");
  amqp_queue_declare_ok_t* ok =
      amqp_queue_declare(conn_->state, static_cast<amqp_channel_t>(id_), amqp_cstring_bytes(queue.c_str()), passive,
                         durable, exclusive, auto_delete, amqp_empty_table);
  if (ok == nullptr) check_rpc("queue declare '" + queue + "'");
  return ok->message_count;
}

void AmqpChannel::queue_delete(const std::string& queue) {
  if (!is_open()) throw AmqpError("queue delete: the channel is closed");
  if (amqp_queue_delete(conn_->state, static_cast<amqp_channel_t>(id_), amqp_cstring_bytes(queue.c_str()), 0, 0) ==
      nullptr) {
    check_rpc("queue delete '" + queue + "'");
  }
}

void AmqpChannel::qos(std::uint16_t prefetch_count) {
  if (!is_open()) throw AmqpError("basic qos: the channel is closed");
  if (amqp_basic_qos(conn_->state, static_cast<amqp_channel_t>(id_), 0, prefetch_count, 0) == nullptr) {
    check_rpc("basic qos");
  }
}

void AmqpChannel::consume(const std::string& queue) {
  if (!is_open()) throw AmqpError("basic consume: the channel is closed");
  if (consuming_) throw AmqpError("basic consume: the channel already has a consumer");
  amqp_basic_consume_ok_t* ok =
      amqp_basic_consume(conn_->state, static_cast<amqp_channel_t>(id_), amqp_cstring_bytes(queue.c_str()),
                         amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
  if (ok == nullptr) check_rpc("basic consume '" + queue + "'");
  consumer_tag_ = bytes_text(ok->consumer_tag);
  consuming_ = true;
}

void AmqpChannel::pause_before_read() {
  amqp_connection_state_t st = conn_->state;
  if (amqp_frames_enqueued(st) || amqp_data_in_buffer(st)) return;
  // A socket that holds plenty is read at once.
  constexpr int kPlenty = 32 * 1024;
  int ready = 0;
  if (::ioctl(amqp_get_sockfd(st), FIONREAD, &ready) == 0 && ready >= kPlenty) return;
  std::this_thread::sleep_for(read_pause_);
}

bool AmqpChannel::next(AmqpMessage& msg, std::chrono::milliseconds timeout) {
  if (!is_open()) throw AmqpError("consume: the channel is closed");
  if (!consuming_) throw AmqpError("consume: no consumer on the channel");
  release_message();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (read_pause_.count() > 0 && read_pause_ < timeout) pause_before_read();
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    timeval tv = to_timeval(left);
    amqp_rpc_reply_t r = amqp_consume_message(conn_->state, &held_->envelope, &tv, 0);
    if (r.reply_type == AMQP_RESPONSE_NORMAL) {
      held_->has_envelope = true;
      if (held_->envelope.channel != id_) {
        // A delivery for another channel of this connection: not ours to take.
        release_message();
        continue;
      }
      msg.delivery_tag = held_->envelope.delivery_tag;
      msg.redelivered = held_->envelope.redelivered != 0;
      msg.body = std::string_view(static_cast<const char*>(held_->envelope.message.body.bytes),
                                  held_->envelope.message.body.len);
      return true;
    }
    if (r.reply_type != AMQP_RESPONSE_LIBRARY_EXCEPTION) throw AmqpError("consume: " + conn_->reply_text(r, id_));
    if (r.library_error == AMQP_STATUS_TIMEOUT) return false;
    if (r.library_error != AMQP_STATUS_UNEXPECTED_STATE) fail("consume", r.library_error);
    // A frame other than a delivery: read it and see what the broker says.
    amqp_frame_t frame{};
    timeval zero = to_timeval(std::chrono::milliseconds(0));
    const int st = amqp_simple_wait_frame_noblock(conn_->state, &frame, &zero);
    if (st == AMQP_STATUS_TIMEOUT) continue;
    if (st != AMQP_STATUS_OK) fail("consume", st);
    if (frame.frame_type != AMQP_FRAME_METHOD) continue;
    switch (frame.payload.method.id) {
      case AMQP_CHANNEL_CLOSE_METHOD: {
        auto* m = static_cast<amqp_channel_close_t*>(frame.payload.method.decoded);
        const std::string text = "(" + std::to_string(m->reply_code) + ") " + bytes_text(m->reply_text);
        amqp_channel_close_ok_t ok{};
        amqp_send_method(conn_->state, frame.channel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
        if (frame.channel == id_) {
          open_ = false;
          consuming_ = false;
          throw AmqpError("consume: channel closed by the broker: " + text);
        }
        break;
      }
      case AMQP_CONNECTION_CLOSE_METHOD: {
        auto* m = static_cast<amqp_connection_close_t*>(frame.payload.method.decoded);
        const std::string text = "(" + std::to_string(m->reply_code) + ") " + bytes_text(m->reply_text);
        amqp_connection_close_ok_t ok{};
        amqp_send_method(conn_->state, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
        conn_->broken = true;
        throw AmqpError("consume: connection closed by the broker: " + text);
      }
      case AMQP_BASIC_CANCEL_METHOD:
        if (frame.channel == id_) {
          consuming_ = false;
          throw AmqpError("consume: the broker cancelled the consumer (queue deleted?)");
        }
        break;
      default:
        break;  // confirms and other notices are not used here
    }
  }
}

bool AmqpChannel::get(const std::string& queue, AmqpMessage& msg) {
  if (!is_open()) throw AmqpError("basic get: the channel is closed");
  release_message();
  amqp_rpc_reply_t r =
      amqp_basic_get(conn_->state, static_cast<amqp_channel_t>(id_), amqp_cstring_bytes(queue.c_str()), 0);
  if (r.reply_type != AMQP_RESPONSE_NORMAL) {
    if (r.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION && r.reply.id == AMQP_CHANNEL_CLOSE_METHOD) open_ = false;
    throw AmqpError("basic get '" + queue + "': " + conn_->reply_text(r, id_));
  }
  if (r.reply.id == AMQP_BASIC_GET_EMPTY_METHOD) return false;
  auto* ok = static_cast<amqp_basic_get_ok_t*>(r.reply.decoded);
  msg.delivery_tag = ok->delivery_tag;
  msg.redelivered = ok->redelivered != 0;
  amqp_rpc_reply_t rr = amqp_read_message(conn_->state, static_cast<amqp_channel_t>(id_), &held_->message, 0);
  if (rr.reply_type != AMQP_RESPONSE_NORMAL)
    throw AmqpError("basic get '" + queue + "': " + conn_->reply_text(rr, id_));
  held_->has_message = true;
  msg.body = std::string_view(static_cast<const char*>(held_->message.body.bytes), held_->message.body.len);
  return true;
}

void AmqpChannel::ack(std::uint64_t delivery_tag, bool multiple) {
  if (!is_open()) throw AmqpError("basic ack: the channel is closed");
  const int st = amqp_basic_ack(conn_->state, static_cast<amqp_channel_t>(id_), delivery_tag, multiple ? 1 : 0);
  if (st != AMQP_STATUS_OK) fail("basic ack", st);
}

std::size_t AmqpChannel::cancel() {
  if (!consuming_) return 0;
  if (!is_open()) throw AmqpError("basic cancel: the channel is closed");
  release_message();
  if (amqp_basic_cancel(conn_->state, static_cast<amqp_channel_t>(id_), amqp_cstring_bytes(consumer_tag_.c_str())) ==
      nullptr) {
    check_rpc("basic cancel");
  }
  consuming_ = false;
  // Deliveries that came in before the cancel-ok wait in the connection's
  // frame queue: count them and hand them back, each on its own, so that
  // deliveries taken up but not acknowledged yet stay the caller's.
  std::size_t pending = 0;
  while (amqp_frames_enqueued(conn_->state) || amqp_data_in_buffer(conn_->state)) {
    amqp_frame_t frame{};
    timeval zero = to_timeval(std::chrono::milliseconds(0));
    const int st = amqp_simple_wait_frame_noblock(conn_->state, &frame, &zero);
    if (st == AMQP_STATUS_TIMEOUT) break;
    if (st != AMQP_STATUS_OK) fail("basic cancel", st);
    if (frame.frame_type == AMQP_FRAME_METHOD && frame.channel == id_ &&
        frame.payload.method.id == AMQP_BASIC_DELIVER_METHOD) {
      ++pending;
      const std::uint64_t tag = static_cast<amqp_basic_deliver_t*>(frame.payload.method.decoded)->delivery_tag;
      const int st = amqp_basic_nack(conn_->state, static_cast<amqp_channel_t>(id_), tag, 0, 1);
      if (st != AMQP_STATUS_OK) fail("basic nack", st);
    }
  }
  amqp_maybe_release_buffers(conn_->state);
  return pending;
}

void AmqpChannel::publish(const std::string& exchange, const std::string& routing_key, std::string_view body,
                          bool persistent) {
  if (!is_open()) throw AmqpError("basic publish: the channel is closed");
  amqp_basic_properties_t props{};
  props._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG;
  props.content_type = amqp_cstring_bytes("application/json");
  props.delivery_mode = persistent ? 2 : 1;
  amqp_bytes_t b;
  b.len = body.size();
  b.bytes = const_cast<char*>(body.data());
  const int st =
      amqp_basic_publish(conn_->state, static_cast<amqp_channel_t>(id_), amqp_cstring_bytes(exchange.c_str()),
                         amqp_cstring_bytes(routing_key.c_str()), 0, 0, &props, b);
  if (st != AMQP_STATUS_OK) fail("basic publish to '" + routing_key + "'", st);
}

void AmqpChannel::close() {
  release_message();
  consuming_ = false;
  if (!open_) return;
  open_ = false;
  if (!conn_->open || conn_->broken) throw AmqpError("channel close: the connection is closed");
  amqp_rpc_reply_t r = amqp_channel_close(conn_->state, static_cast<amqp_channel_t>(id_), AMQP_REPLY_SUCCESS);
  if (r.reply_type != AMQP_RESPONSE_NORMAL) throw AmqpError("channel close: " + conn_->reply_text(r, id_));
}

AmqpConnection::AmqpConnection(const AmqpParams& p) : conn_(std::make_shared<AmqpChannel::Conn>()) {
  conn_->peer = p.host + ":" + std::to_string(p.port);
  conn_->state = amqp_new_connection();
  if (conn_->state == nullptr) throw AmqpError("connection to " + conn_->peer + ": out of memory");
  amqp_socket_t* sock = nullptr;
  if (p.tls) {
    sock = amqp_ssl_socket_new(conn_->state);
    if (sock != nullptr) {
      amqp_ssl_socket_set_verify_peer(sock, 1);
      amqp_ssl_socket_set_verify_hostname(sock, 1);
      if (auto* ctx = static_cast<SSL_CTX*>(amqp_ssl_socket_get_context(sock))) SSL_CTX_set_default_verify_paths(ctx);
    }
  } else {
    sock = amqp_tcp_socket_new(conn_->state);
  }
  if (sock == nullptr) throw AmqpError("connection to " + conn_->peer + ": cannot create the socket");
  const int connect_timeout = p.socket_timeout > 0 ? p.socket_timeout : 10;
  if (p.tls) {
    timeval tv = to_timeval(std::chrono::seconds(connect_timeout));
    errno = 0;
    const int st = amqp_socket_open_noblock(sock, p.host.c_str(), p.port, &tv);
    if (st != AMQP_STATUS_OK) {
      const int saved = errno;
      conn_->broken = true;
      throw AmqpError("connection to " + conn_->peer + " failed: " + status_text(st, saved == EINPROGRESS ? 0 : saved));
    }
  } else {
    // The system's reason for a failed connect is lost inside rabbitmq-c:
    // connect here and hand the socket over.
    amqp_tcp_socket_set_sockfd(sock, tcp_connect(p.host, p.port, connect_timeout, conn_->peer));
  }
  if (p.blocked_connection_timeout > 0) {
    timeval bt = to_timeval(std::chrono::seconds(p.blocked_connection_timeout));
    amqp_set_rpc_timeout(conn_->state, &bt);
    const int fd = amqp_socket_get_sockfd(sock);
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bt, sizeof bt);
  }
  amqp_rpc_reply_t r = amqp_login(conn_->state, p.vhost.c_str(), 0, 131072, p.heartbeat, AMQP_SASL_METHOD_PLAIN,
                                  p.user.c_str(), p.password.c_str());
  if (r.reply_type != AMQP_RESPONSE_NORMAL) {
    std::string why = conn_->reply_text(r, 0);
    conn_->broken = true;
    if (r.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION && r.library_error == AMQP_STATUS_CONNECTION_CLOSED) {
      why += " (login refused: check the credentials and the virtual host '" + p.vhost + "')";
    }
    throw AmqpError("login to " + conn_->peer + " failed: " + why);
  }
  conn_->open = true;
}

std::unique_ptr<AmqpConnection> AmqpConnection::open(std::string_view url) {
  return std::make_unique<AmqpConnection>(parse_amqp_url(url));
}

AmqpConnection::~AmqpConnection() = default;

bool AmqpConnection::is_open() const { return conn_->open && !conn_->broken; }

const std::string& AmqpConnection::peer() const { return conn_->peer; }

std::unique_ptr<AmqpChannel> AmqpConnection::channel() {
  if (!is_open()) throw AmqpError("channel open: the connection to " + conn_->peer + " is closed");
  if (next_channel_ > std::numeric_limits<std::uint16_t>::max()) throw AmqpError("channel open: no channel left");
  const int id = next_channel_++;
  if (amqp_channel_open(conn_->state, static_cast<amqp_channel_t>(id)) == nullptr) {
    amqp_rpc_reply_t r = amqp_get_rpc_reply(conn_->state);
    throw AmqpError("channel open: " + conn_->reply_text(r, id));
  }
  return std::unique_ptr<AmqpChannel>(new AmqpChannel(conn_, id));
}

void AmqpConnection::close() {
  if (!conn_->open) return;
  conn_->open = false;
  if (conn_->broken) throw AmqpError("connection close: the connection to " + conn_->peer + " was lost");
  amqp_rpc_reply_t r = amqp_connection_close(conn_->state, AMQP_REPLY_SUCCESS);
  if (r.reply_type != AMQP_RESPONSE_NORMAL) {
    std::string why = conn_->reply_text(r, 0);
    conn_->broken = true;
    throw AmqpError("connection close: " + why);
  }
}

void rmq_channel_close(AmqpChannel* channel) noexcept {
  if (channel == nullptr) return;
  try {
    channel->close();
  } catch (...) {
  }
}

void rmq_connection_close(AmqpConnection* connection) noexcept {
  if (connection == nullptr) return;
  try {
    connection->close();
  } catch (...) {
  }
}

}  // namespace tessel::core
