#include "support/tcp_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/sys.h"

namespace {

int connect_loopback(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    if (s >= 0) close(s);
    return -1;
}

void close_abortively(int s) {
    linger l{1, 0}; // close with an RST instead of a FIN
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(s);
}

} // namespace

// Moves what is readable on from to to; false when from has ended or to is gone.
bool tcp_proxy::relay(int from, int to) {
    char buf[65536];
    if (delay_ms_.load() > 0) sleep_ms(static_cast<uint32_t>(delay_ms_.load()));
    const ssize_t n = recv(from, buf, static_cast<std::size_t>(piece_.load()), 0);
    if (n <= 0) return false;
    for (ssize_t sent = 0; sent < n;) {
        const ssize_t m = send(to, buf + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
        if (m <= 0) return false;
        sent += m;
    }
    return true;
}

tcp_proxy::tcp_proxy(int server_port) : server_port_(server_port) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || pipe(wake_) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

tcp_proxy::~tcp_proxy() {
    quit_ = true;
    if (wake_[1] >= 0) (void)!write(wake_[1], "q", 1);
    if (thread_.joinable()) thread_.join();
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

void tcp_proxy::cut(char how) {
    const int want = resets_wanted_.fetch_add(1) + 1;
    (void)!write(wake_[1], &how, 1);
    while (resets_done_.load() < want)
        sleep_ms(5);
}

void tcp_proxy::reset_client() {
    cut('r');
}

void tcp_proxy::close_client() {
    cut('f');
}

void tcp_proxy::stall(bool on) {
    stalled_ = on;
    (void)!write(wake_[1], "w", 1);
}

void tcp_proxy::throttle(int bytes, int delay_ms) {
    piece_ = bytes > 0 && bytes < 65536 ? bytes : 65536;
    delay_ms_ = delay_ms;
}

void tcp_proxy::refuse(bool on) {
    refusing_ = on;
}

void tcp_proxy::run() {
    int client = -1;
    int server = -1;
    auto end_pair = [&](bool abortive) {
        if (client >= 0) abortive ? close_abortively(client) : (void)close(client);
        if (server >= 0) close(server);
        client = server = -1;
    };
    while (!quit_) {
        const bool moving = !stalled_.load();
        // One pair at a time: a later connection waits in the backlog until the pair ends
        // (polling the listener meanwhile would only spin).
        const bool accepting = client < 0 || refusing_.load();
        pollfd p[4] = {{wake_[0], POLLIN, 0},
                       {accepting ? listener_ : -1, POLLIN, 0},
                       {moving ? client : -1, POLLIN, 0},
                       {moving ? server : -1, POLLIN, 0}};
        if (poll(p, 4, 1000) < 0) continue;
        if (p[0].revents & POLLIN) {
            char c;
            (void)!read(wake_[0], &c, 1);
            if (c == 'r' || c == 'f') {
                end_pair(c == 'r');
                resets_done_.fetch_add(1);
            }
            continue;
        }
        if ((p[1].revents & POLLIN) && refusing_.load()) {
            const int s = accept(listener_, nullptr, nullptr);
            if (s >= 0) close_abortively(s);
            continue;
        }
        if ((p[1].revents & POLLIN) && client < 0) {
            client = accept(listener_, nullptr, nullptr);
            server = client >= 0 ? connect_loopback(server_port_) : -1;
            if (server < 0) end_pair(false);
            continue;
        }
        const bool broken =
            ((p[2].revents & (POLLIN | POLLHUP | POLLERR)) && !relay(client, server)) ||
            ((p[3].revents & (POLLIN | POLLHUP | POLLERR)) && !relay(server, client));
        if (broken) end_pair(false);
    }
    end_pair(false);
}
