// A loopback TCP relay in front of a server port, for faults a server or a network makes:
// it passes traffic, holds it (stall), cuts the connection with an RST or a FIN, slows it
// down, or refuses new connections as a server that is down would.
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
    // The same with an orderly close (FIN) towards the client.
    void close_client();
    // While stalled nothing moves in either direction; the bytes wait in the socket buffers.
    // A new connection gets no further than the kernel's handshake: it waits in the backlog
    // (or, with no pair relayed, is taken but not relayed), its SSH handshake stalls like a
    // dead network's. Connections its client closed meanwhile are dropped on resume.
    void stall(bool on);
    // Each relayed piece is at most bytes long and waits delay_ms first (0, 0: full speed).
    void throttle(int bytes, int delay_ms);
    // While refusing, a new connection is accepted and reset at once.
    void refuse(bool on);

  private:
    void run();
    void cut(char how);
    bool relay(int from, int to);

    int server_port_;
    int port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<int> resets_wanted_{0};
    std::atomic<int> resets_done_{0};
    std::atomic<bool> quit_{false};
    std::atomic<bool> stalled_{false};
    std::atomic<bool> refusing_{false};
    std::atomic<int> piece_{65536};
    std::atomic<int> delay_ms_{0};
    std::thread thread_;
};
