// A TCP relay on loopback that behaves like a slow, distant link: every byte waits half the
// round trip in each direction, and each direction carries at most the link rate. It sits
// between an SSH client and sshd, so that each side of a benchmark meets the same link.
//
//   wan_relay <listen port> <server port> <round trip ms> <Mbit/s> [<cut at MiB> <cut s>]
//
// Prints "ready" once it listens; relays connections until it is signalled. The bottleneck
// holds at most a fixed queue per direction (like a router's buffer): when it is full the
// relay stops reading, and TCP's own flow control pushes back on the sender.
//
// With a cut: once the clients have sent that many MiB in all, every relayed connection is
// reset (an RST to both ends, as from a router that lost the flow) and for the given seconds
// each new connection is accepted and reset at once, as by a server that is down. Once only.
// Prints "cut <ns>" and "restored <ns>" (the system clock, like `date +%s%N`).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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

struct cut_plan {
    uint64_t after_bytes = 0; // 0: never
    std::chrono::seconds length{0};
};

cut_plan g_cut;
std::atomic<uint64_t> g_sent_up{0}; // by every client, towards the server
std::atomic<bool> g_cut_started{false};
std::atomic<bool> g_refusing{false};
std::mutex g_live_lock;
std::vector<sock_t> g_live; // both sockets of every relayed connection

void print_event(const char* what) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::printf("%s %lld\n", what, static_cast<long long>(ns.count()));
    std::fflush(stdout);
}

// An RST to the peer at once, and the threads blocked on the socket woken with an error
// (Linux: a connect to AF_UNSPEC drops the connection). The descriptor stays open for its
// owner to close: closing it here could hit a number already reused.
void reset_now(sock_t s) {
    sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    (void)!connect(static_cast<int>(s), &unspec, sizeof unspec);
}

void close_abortively(sock_t s) {
    linger l{1, 0};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    net_close(s);
}

void cut_all() {
    g_refusing = true;
    print_event("cut");
    {
        std::lock_guard<std::mutex> hold(g_live_lock);
        for (const sock_t s : g_live)
            reset_now(s);
    }
    std::thread([] {
        std::this_thread::sleep_for(g_cut.length);
        g_refusing = false;
        print_event("restored");
    }).detach();
}

void count_sent_up(std::size_t n) {
    const uint64_t total = g_sent_up.fetch_add(n) + n;
    if (g_cut.after_bytes != 0 && total >= g_cut.after_bytes && !g_cut_started.exchange(true))
        cut_all();
}

// False when a cut is under way: the caller resets the pair itself.
bool live_add(sock_t a, sock_t b) {
    std::lock_guard<std::mutex> hold(g_live_lock);
    if (g_refusing.load()) return false;
    g_live.push_back(a);
    g_live.push_back(b);
    return true;
}

void live_remove(sock_t a, sock_t b) {
    std::lock_guard<std::mutex> hold(g_live_lock);
    g_live.erase(
        std::remove_if(g_live.begin(), g_live.end(), [&](sock_t s) { return s == a || s == b; }),
        g_live.end());
}

struct packet {
    clock_type::time_point due; // when the far end may see it: arrival + one-way delay
    std::vector<char> bytes;
};

// One direction of one connection: a reader fills the queue, a writer drains it at the link's
// pace. An empty packet marks the end of the stream.
class direction {
  public:
    direction(sock_t from, sock_t to, const link_params& link, bool up)
        : from_(from), to_(to), link_(link), up_(up) {}

    void read_loop() {
        for (;;) {
            packet p;
            p.bytes.resize(k_piece);
            const long n = net_recv(from_, p.bytes.data(), p.bytes.size());
            p.bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            if (up_ && n > 0) count_sent_up(p.bytes.size());
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
    bool up_; // client to server
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
    if (!live_add(client, server)) {
        close_abortively(client);
        close_abortively(server);
        return;
    }
    net_set_nodelay(client);
    net_set_nodelay(server);
    direction up(client, server, link, true);
    direction down(server, client, link, false);
    std::thread threads[] = {
        std::thread([&] { up.read_loop(); }), std::thread([&] { up.write_loop(); }),
        std::thread([&] { down.read_loop(); }), std::thread([&] { down.write_loop(); })};
    for (auto& t : threads)
        t.join();
    live_remove(client, server);
    net_close(client);
    net_close(server);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::fprintf(stderr, "usage: wan_relay <listen port> <server port> <rtt ms> <Mbit/s> "
                             "[<cut at MiB> <cut seconds>]\n");
        return 2;
    }
    if (argc == 7) {
        g_cut.after_bytes = static_cast<uint64_t>(std::atof(argv[5]) * 1048576.0);
        g_cut.length = std::chrono::seconds(std::atoi(argv[6]));
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
        if (g_refusing.load()) {
            close_abortively(c);
            continue;
        }
        std::thread(serve, c, server_port, link).detach();
    }
}
