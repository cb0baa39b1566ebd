// A TCP relay on loopback that behaves like a slow, distant link: every byte waits half the
// round trip in each direction, and each direction carries at most the link rate. It sits
// between an SSH client and sshd, so that each side of a benchmark meets the same link.
//
//   wan_relay <listen port> <server port> <round trip ms> <Mbit/s>
//
// Prints "ready" once it listens; relays connections until it is signalled. The bottleneck
// holds at most a fixed queue per direction (like a router's buffer): when it is full the
// relay stops reading, and TCP's own flow control pushes back on the sender.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::size_t k_piece = 16384;

struct link_params {
    std::chrono::microseconds one_way;
    double bytes_per_us;
    std::size_t queue_limit;
};

struct packet {
    clock_type::time_point due; // when the far end may see it: arrival + one-way delay
    std::vector<char> bytes;
};

// One direction of one connection: a reader fills the queue, a writer drains it at the link's
// pace. An empty packet marks the end of the stream.
class direction {
  public:
    direction(sock_t from, sock_t to, const link_params& link)
        : from_(from), to_(to), link_(link) {}

    void read_loop() {
        for (;;) {
            packet p;
            p.bytes.resize(k_piece);
            const long n = net_recv(from_, p.bytes.data(), p.bytes.size());
            p.bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            p.due = clock_type::now() + link_.one_way;
            std::unique_lock<std::mutex> hold(lock_);
            room_.wait(hold, [&] { return queued_ < link_.queue_limit; });
            queued_ += p.bytes.size();
            queue_.push_back(std::move(p));
            ready_.notify_one();
            if (n <= 0) return;
        }
    }

    void write_loop() {
        auto link_free = clock_type::now();
        for (;;) {
            packet p;
            {
                std::unique_lock<std::mutex> hold(lock_);
                ready_.wait(hold, [&] { return !queue_.empty(); });
                p = std::move(queue_.front());
                queue_.pop_front();
                queued_ -= p.bytes.size();
                room_.notify_one();
            }
            if (p.bytes.empty()) {
                shutdown(to_, SHUT_WR);
                return;
            }
            // The bytes leave the bottleneck one after the other at the link rate, then travel
            // the one-way delay; packets behind them are serialised meanwhile.
            const auto start = std::max(link_free, p.due - link_.one_way);
            link_free = start + std::chrono::microseconds(static_cast<long>(
                                    static_cast<double>(p.bytes.size()) / link_.bytes_per_us));
            std::this_thread::sleep_until(link_free + link_.one_way);
            std::size_t sent = 0;
            while (sent < p.bytes.size()) {
                const long n = net_send(to_, p.bytes.data() + sent, p.bytes.size() - sent);
                if (n <= 0) {
                    shutdown(from_, SHUT_RD); // the far end is gone: end the reader too
                    drain();
                    return;
                }
                sent += static_cast<std::size_t>(n);
            }
        }
    }

  private:
    void drain() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            const bool end = !queue_.empty() && queue_.back().bytes.empty();
            queue_.clear();
            queued_ = 0;
            room_.notify_one();
            if (end) return;
            ready_.wait(hold, [&] { return !queue_.empty(); });
        }
    }

    sock_t from_;
    sock_t to_;
    link_params link_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<packet> queue_;
    std::size_t queued_ = 0;
};

sock_t connect_loopback(int port) {
    net_addr a{};
    if (net_resolve_ipv4("127.0.0.1", port, &a) != 0) return k_bad_sock;
    const sock_t s = net_socket(a);
    if (s != k_bad_sock && net_connect_within(s, a, 5000) == connect_result::connected) return s;
    if (s != k_bad_sock) net_close(s);
    return k_bad_sock;
}

void serve(sock_t client, int server_port, link_params link) {
    const sock_t server = connect_loopback(server_port);
    if (server == k_bad_sock) {
        net_close(client);
        return;
    }
    net_set_nodelay(client);
    net_set_nodelay(server);
    direction up(client, server, link);
    direction down(server, client, link);
    std::thread threads[] = {
        std::thread([&] { up.read_loop(); }), std::thread([&] { up.write_loop(); }),
        std::thread([&] { down.read_loop(); }), std::thread([&] { down.write_loop(); })};
    for (auto& t : threads)
        t.join();
    net_close(client);
    net_close(server);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: wan_relay <listen port> <server port> <rtt ms> <Mbit/s>\n");
        return 2;
    }
    const int listen_port = std::atoi(argv[1]);
    const int server_port = std::atoi(argv[2]);
    const double rtt_ms = std::atof(argv[3]);
    const double mbit = std::atof(argv[4]);
    link_params link{};
    link.one_way = std::chrono::microseconds(static_cast<long>(rtt_ms * 500.0));
    link.bytes_per_us = mbit / 8.0;
    // Twice the bandwidth-delay product, at least 256 KiB: a generous router buffer.
    link.queue_limit = std::max<std::size_t>(
        262144, static_cast<std::size_t>(2.0 * link.bytes_per_us * rtt_ms * 1000.0));
    std::signal(SIGPIPE, SIG_IGN);

    const sock_t l = net_socket_tcp4();
    if (l == k_bad_sock || net_bind_listener(l, static_cast<uint16_t>(listen_port)) != 0 ||
        net_listen(l, 16) != 0) {
        std::fprintf(stderr, "wan_relay: cannot listen on 127.0.0.1:%d\n", listen_port);
        return 1;
    }
    std::printf("ready %d\n", listen_port);
    std::fflush(stdout);
    for (;;) {
        const sock_t c = net_accept(l);
        if (c == k_bad_sock) continue;
        std::thread(serve, c, server_port, link).detach();
    }
}
