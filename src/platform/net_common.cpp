// The Berkeley-socket calls both systems spell alike; sock_native.h of the system being built
// supplies the handle, length and option types.
#include "sock_native.h"

#include <cstdio>
#include <cstring>

namespace {
void set_int_opt(sock_t s, int level, int name, int value) {
    setsockopt(native(s), level, name, reinterpret_cast<native_optval>(&value), sizeof value);
}
} // namespace

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

void net_set_abortive_close(sock_t s) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<native_optval>(&l), sizeof l);
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
    return bind(native(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int net_listen(sock_t s, int backlog) {
    return listen(native(s), backlog) == 0 ? 0 : -1;
}

uint16_t net_local_port(sock_t s) {
    sockaddr_in sa{};
    native_socklen len = sizeof sa;
    if (getsockname(native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int net_wait_connected(sock_t s, uint32_t timeout_ms, int timed_out, int refused) {
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(native(s), &wr);
    FD_SET(native(s), &ex);
    timeval tv{};
    tv.tv_sec = static_cast<long>(timeout_ms / 1000);
    tv.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
    // Winsock ignores the first argument; POSIX wants the highest descriptor plus one.
    if (select(static_cast<int>(native(s)) + 1, nullptr, &wr, &ex, &tv) <= 0) return timed_out;
    int so_err = 0;
    native_socklen len = sizeof so_err;
    if (getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<native_optbuf>(&so_err),
                   &len) != 0)
        return refused;
    return so_err;
}

int net_send_all(sock_t s, const void* data, std::size_t len) {
    auto* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        long n = net_send(s, p, len);
        if (n <= 0) return -8;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

int net_recv_all(sock_t s, void* data, std::size_t len) {
    auto* p = static_cast<unsigned char*>(data);
    while (len > 0) {
        long n = net_recv(s, p, len);
        if (n <= 0) return -8;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}
