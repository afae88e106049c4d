#pragma once
// A TCP relay to a local port (a broker) that drops the first connection
// once more than `cut_after` bytes have come from the counted side; every
// other connection is relayed in full. The client sees its connection lost
// in the middle of its work, as when the broker goes away.
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace tessel::testing {

class CuttingRelay {
 public:
  enum class Counted { kFromServer, kFromClient };
  CuttingRelay(int server_port, std::size_t cut_after, Counted counted = Counted::kFromServer);
  ~CuttingRelay();
  CuttingRelay(const CuttingRelay&) = delete;
  CuttingRelay& operator=(const CuttingRelay&) = delete;
  int port() const { return port_; }
  bool cut() const { return cut_; }

 private:
  void accept_loop();
  void relay(int client, int server);

  int server_port_;
  std::size_t cut_after_;
  Counted counted_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::thread acceptor_;
  std::vector<std::thread> relays_;
};

}  // namespace tessel::testing
