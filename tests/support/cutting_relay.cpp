#include "support/cutting_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessel::testing {

CuttingRelay::CuttingRelay(int server_port, std::size_t cut_after, Counted counted)
    : server_port_(server_port), cut_after_(cut_after), counted_(counted) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return;
  }
  port_ = ntohs(sa.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

CuttingRelay::~CuttingRelay() {
  stop_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  ::close(listener_);
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& t : relays_) t.join();
}

void CuttingRelay::accept_loop() {
  while (!stop_) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(server_port_));
    if (::connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      ::close(client);
      ::close(server);
      continue;
    }
    relays_.emplace_back([this, client, server] { relay(client, server); });
  }
}

void CuttingRelay::relay(int client, int server) {
  char buf[65536];
  std::size_t counted = 0;
  const int counted_fd = counted_ == Counted::kFromServer ? 1 : 0;
  pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
  while (!stop_) {
    if (::poll(fds, 2, 100) < 0) break;
    bool closed = false;
    for (int i = 0; i < 2 && !closed; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        closed = true;
        break;
      }
      if (i == counted_fd && (counted += static_cast<std::size_t>(n)) > cut_after_ && !cut_.exchange(true)) {
        closed = true;
        break;
      }
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::write(fds[1 - i].fd, buf + done, static_cast<std::size_t>(n - done));
        if (w <= 0) {
          closed = true;
          break;
        }
        done += w;
      }
    }
    if (closed) break;
  }
  ::close(client);
  ::close(server);
}

}  // namespace tessel::testing
