#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/net.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
SOCKET sk(sock_t s) {
    return static_cast<SOCKET>(s);
}

// INVALID_SOCKET is ~0, which the signed sock_t carries as -1.
sock_t to_sock(SOCKET s) {
    return s == INVALID_SOCKET ? k_bad_sock : static_cast<sock_t>(s);
}

void set_blocking(sock_t s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    ioctlsocket(sk(s), FIONBIO, &nonblocking);
}

void set_int_opt(sock_t s, int level, int name, int value) {
    setsockopt(sk(s), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

bool is_in_progress(int err) {
    return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEINVAL;
}

bool is_timeout_error(int err) {
    return err == WSAENETUNREACH || err == WSAETIMEDOUT || err == WSAEHOSTUNREACH;
}

// Winsock lengths are int: one call never moves more than INT_MAX bytes.
int io_len(std::size_t len) {
    return len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

// Waits for the pending connect of s: 0 when connected, else the Winsock error.
int wait_connected(sock_t s, uint32_t timeout_ms) {
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(sk(s), &wr);
    FD_SET(sk(s), &ex);
    timeval tv{};
    tv.tv_sec = static_cast<long>(timeout_ms / 1000);
    tv.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
    if (select(0, nullptr, &wr, &ex, &tv) <= 0) return WSAETIMEDOUT;
    int so_err = 0;
    int len = sizeof so_err;
    if (getsockopt(sk(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_err), &len) != 0)
        return WSAECONNREFUSED;
    return so_err;
}
} // namespace

void net_startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

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

// The sockets socket() would make, but not inherited: a child process (diskpart, powershell)
// must never keep the listener or an initiator connection open after the library closed it.
sock_t net_socket(const net_addr& addr) {
    return to_sock(WSASocketW(addr.family, addr.socktype, addr.protocol, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

sock_t net_socket_tcp4() {
    net_addr tcp4;
    tcp4.family = AF_INET;
    tcp4.socktype = SOCK_STREAM;
    tcp4.protocol = IPPROTO_TCP;
    return net_socket(tcp4);
}

void net_close(sock_t s) {
    if (s != k_bad_sock) closesocket(sk(s));
}

void net_shutdown(sock_t s) {
    if (s == k_bad_sock) return;
    shutdown(sk(s), SD_BOTH);
    // Winsock does not document that shutdown wakes a recv blocked in another thread;
    // cancelling the socket's pending I/O is documented to (the sockets are overlapped).
    // Closing would wake it too, but the other thread could then use a reused handle.
    CancelIoEx(reinterpret_cast<HANDLE>(sk(s)), nullptr);
}

connect_result net_connect_within(sock_t s, const net_addr& addr, uint32_t timeout_ms) {
    set_blocking(s, false);
    int err = 0;
    if (connect(sk(s), reinterpret_cast<const sockaddr*>(addr.bytes), static_cast<int>(addr.len)) !=
        0) {
        err = WSAGetLastError();
        if (is_in_progress(err)) err = wait_connected(s, timeout_ms);
    }
    set_blocking(s, true);
    if (err == 0) return connect_result::connected;
    return is_timeout_error(err) ? connect_result::timed_out : connect_result::failed;
}

// Winsock takes these time-outs as a DWORD of milliseconds, not a timeval.
void net_set_io_timeouts(sock_t s, uint32_t ms) {
    DWORD v = ms;
    setsockopt(sk(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v);
    setsockopt(sk(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&v), sizeof v);
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
    return bind(sk(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int net_bind_listener(sock_t s, uint16_t port) {
    constexpr int k_bind_tries = 50; // 50 x 100 ms
    set_int_opt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    for (int i = 1;; ++i) {
        if (net_bind_loopback(s, port) == 0) return 0;
        if (WSAGetLastError() != WSAEADDRINUSE || i == k_bind_tries) return -1;
        Sleep(100);
    }
}

void net_set_nonblocking(sock_t s) {
    set_blocking(s, false);
}

int net_wait_readable(sock_t s, uint32_t ms) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(sk(s), &rd);
    timeval tv{};
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    const int r = select(0, &rd, nullptr, nullptr, &tv);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int net_listen(sock_t s, int backlog) {
    return listen(sk(s), backlog) == 0 ? 0 : -1;
}

sock_t net_accept(sock_t listener) {
    if (listener == k_bad_sock) return k_bad_sock;
    sockaddr_in peer{};
    int len = sizeof peer;
    const sock_t s = to_sock(accept(sk(listener), reinterpret_cast<sockaddr*>(&peer), &len));
    // An accepted socket inherits the listener's non-blocking mode on Windows.
    if (s != k_bad_sock) set_blocking(s, true);
    return s;
}

uint16_t net_local_port(sock_t s) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(sk(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

// Winsock never raises SIGPIPE, so no flag is needed.
long net_send(sock_t s, const void* data, std::size_t len) {
    return send(sk(s), static_cast<const char*>(data), io_len(len), 0);
}

long net_recv(sock_t s, void* data, std::size_t len) {
    return recv(sk(s), static_cast<char*>(data), io_len(len), 0);
}
