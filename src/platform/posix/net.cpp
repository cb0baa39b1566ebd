#include "sock_native.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
void set_blocking(sock_t s, bool blocking) {
    int flags = fcntl(native(s), F_GETFL, 0);
    if (flags < 0) return;
    fcntl(native(s), F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

bool is_timeout_error(int err) {
    return err == ENETUNREACH || err == ETIMEDOUT || err == EHOSTUNREACH;
}
} // namespace

void net_startup() {}

sock_t net_socket(const net_addr& addr) {
    int s = socket(addr.family, addr.socktype | SOCK_CLOEXEC, addr.protocol);
    return s < 0 ? k_bad_sock : s;
}

sock_t net_socket_tcp4() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? k_bad_sock : s;
}

void net_close(sock_t s) {
    if (s != k_bad_sock) close(native(s));
}

void net_shutdown(sock_t s) {
    if (s != k_bad_sock) shutdown(native(s), SHUT_RDWR);
}

connect_result net_connect_within(sock_t s, const net_addr& addr, uint32_t timeout_ms) {
    set_blocking(s, false);
    int err = 0;
    if (connect(native(s), reinterpret_cast<const sockaddr*>(addr.bytes), addr.len) == 0) {
        set_blocking(s, true);
        return connect_result::connected;
    }
    err = errno;
    if (err == EINPROGRESS || err == EWOULDBLOCK || err == EINVAL)
        err = net_wait_connected(s, timeout_ms, ETIMEDOUT, ECONNREFUSED);
    set_blocking(s, true);
    if (err == 0) return connect_result::connected;
    return is_timeout_error(err) ? connect_result::timed_out : connect_result::failed;
}

void net_set_io_timeouts(sock_t s, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(native(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int net_bind_listener(sock_t s, uint16_t port) {
    const int one = 1;
    setsockopt(native(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return net_bind_loopback(s, port);
}

void net_set_nonblocking(sock_t s) {
    set_blocking(s, false);
}

int net_wait_readable(sock_t s, uint32_t ms) {
    pollfd p{native(s), POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, static_cast<int>(ms));
        if (r >= 0) return r > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

sock_t net_accept(sock_t listener) {
    if (listener == k_bad_sock) return k_bad_sock;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    for (;;) {
        int c = accept4(native(listener), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (c >= 0) return c;
        if (errno != EINTR) return k_bad_sock;
    }
}

long net_send(sock_t s, const void* data, std::size_t len) {
    for (;;) {
        ssize_t n = send(native(s), data, len, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

long net_recv(sock_t s, void* data, std::size_t len) {
    for (;;) {
        ssize_t n = recv(native(s), data, len, 0);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}
