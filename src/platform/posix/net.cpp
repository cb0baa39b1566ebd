#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace {
int fd(sock_t s) {
    return static_cast<int>(s);
}

void set_blocking(sock_t s, bool blocking) {
    int flags = fcntl(fd(s), F_GETFL, 0);
    if (flags < 0) return;
    fcntl(fd(s), F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

void set_int_opt(sock_t s, int level, int name, int value) {
    setsockopt(fd(s), level, name, &value, sizeof value);
}

bool is_timeout_error(int err) {
    return err == ENETUNREACH || err == ETIMEDOUT || err == EHOSTUNREACH;
}
} // namespace

void net_startup() {}

int net_resolve_ipv4(const char* host, int port, net_addr* out) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, service, &hints, &res) != 0 || res == nullptr) return -1;
    if (res->ai_addrlen > sizeof out->bytes) {
        freeaddrinfo(res);
        return -1;
    }
    out->family = res->ai_family;
    out->socktype = res->ai_socktype;
    out->protocol = res->ai_protocol;
    out->len = static_cast<unsigned>(res->ai_addrlen);
    std::memcpy(out->bytes, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    return 0;
}

sock_t net_socket(const net_addr& addr) {
    int s = socket(addr.family, addr.socktype | SOCK_CLOEXEC, addr.protocol);
    return s < 0 ? k_bad_sock : s;
}

sock_t net_socket_tcp4() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? k_bad_sock : s;
}

void net_close(sock_t s) {
    if (s != k_bad_sock) close(fd(s));
}

void net_shutdown(sock_t s) {
    if (s != k_bad_sock) shutdown(fd(s), SHUT_RDWR);
}

connect_result net_connect_within(sock_t s, const net_addr& addr, uint32_t timeout_ms) {
    set_blocking(s, false);
    int err = 0;
    if (connect(fd(s), reinterpret_cast<const sockaddr*>(addr.bytes), addr.len) == 0) {
        set_blocking(s, true);
        return connect_result::connected;
    }
    err = errno;
    if (err == EINPROGRESS || err == EWOULDBLOCK || err == EINVAL) {
        fd_set wr, ex;
        FD_ZERO(&wr);
        FD_ZERO(&ex);
        FD_SET(fd(s), &wr);
        FD_SET(fd(s), &ex);
        timeval tv{};
        tv.tv_sec = timeout_ms / 1000;
        tv.tv_usec = (timeout_ms % 1000) * 1000;
        int r = select(fd(s) + 1, nullptr, &wr, &ex, &tv);
        if (r > 0) {
            int so_err = 0;
            socklen_t len = sizeof so_err;
            if (getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &so_err, &len) != 0) so_err = ECONNREFUSED;
            err = so_err;
        } else {
            err = ETIMEDOUT;
        }
    }
    set_blocking(s, true);
    if (err == 0) return connect_result::connected;
    return is_timeout_error(err) ? connect_result::timed_out : connect_result::failed;
}

void net_set_io_timeouts(sock_t s, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void net_set_nodelay(sock_t s) {
    set_int_opt(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

void net_set_buffers(sock_t s, int bytes) {
    set_int_opt(s, SOL_SOCKET, SO_SNDBUF, bytes);
    set_int_opt(s, SOL_SOCKET, SO_RCVBUF, bytes);
}

int net_bind_loopback(sock_t s, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bind(fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int net_bind_listener(sock_t s, uint16_t port) {
    set_int_opt(s, SOL_SOCKET, SO_REUSEADDR, 1);
    return net_bind_loopback(s, port);
}

void net_set_nonblocking(sock_t s) {
    set_blocking(s, false);
}

int net_wait_readable(sock_t s, uint32_t ms) {
    pollfd p{fd(s), POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, static_cast<int>(ms));
        if (r >= 0) return r > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

int net_listen(sock_t s, int backlog) {
    return listen(fd(s), backlog) == 0 ? 0 : -1;
}

sock_t net_accept(sock_t listener) {
    if (listener == k_bad_sock) return k_bad_sock;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    for (;;) {
        int c = accept4(fd(listener), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (c >= 0) return c;
        if (errno != EINTR) return k_bad_sock;
    }
}

uint16_t net_local_port(sock_t s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

long net_send(sock_t s, const void* data, std::size_t len) {
    for (;;) {
        ssize_t n = send(fd(s), data, len, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

long net_recv(sock_t s, void* data, std::size_t len) {
    for (;;) {
        ssize_t n = recv(fd(s), data, len, 0);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}
