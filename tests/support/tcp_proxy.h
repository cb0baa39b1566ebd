// A loopback TCP relay in front of a server port. The test can make it reset the client's
// connection in the middle of a session, as a server or a network that fails would.
#pragma once

#include <atomic>
#include <thread>

class tcp_proxy {
  public:
    explicit tcp_proxy(int server_port);
    ~tcp_proxy();
    tcp_proxy(const tcp_proxy&) = delete;
    tcp_proxy& operator=(const tcp_proxy&) = delete;

    bool ok() const { return port_ != 0; }
    int port() const { return port_; }
    // Ends the relayed connection: an RST to the client, a close towards the server.
    // Returns once that has happened. Later connections are relayed again.
    void reset_client();

  private:
    void run();

    int server_port_;
    int port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<int> resets_wanted_{0};
    std::atomic<int> resets_done_{0};
    std::atomic<bool> quit_{false};
    std::thread thread_;
};
