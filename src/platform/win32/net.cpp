#include "sock_native.h"

#include <climits>
#include <mutex>

namespace {
// INVALID_SOCKET is ~0, which the signed sock_t carries as -1.
sock_t to_sock(SOCKET s) {
    return s == INVALID_SOCKET ? k_bad_sock : static_cast<sock_t>(s);
}

void set_blocking(sock_t s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    ioctlsocket(native(s), FIONBIO, &nonblocking);
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
} // namespace

void net_startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
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
    if (s != k_bad_sock) closesocket(native(s));
}

void net_shutdown(sock_t s) {
    if (s == k_bad_sock) return;
    shutdown(native(s), SD_BOTH);
    // Winsock does not document that shutdown wakes a recv blocked in another thread;
    // cancelling the socket's pending I/O is documented to (the sockets are overlapped).
    // Closing would wake it too, but the other thread could then use a reused handle.
    CancelIoEx(reinterpret_cast<HANDLE>(native(s)), nullptr);
}

connect_result net_connect_within(sock_t s, const net_addr& addr, uint32_t timeout_ms) {
    set_blocking(s, false);
    int err = 0;
    if (connect(native(s), reinterpret_cast<const sockaddr*>(addr.bytes),
                static_cast<int>(addr.len)) != 0) {
        err = WSAGetLastError();
        if (is_in_progress(err))
            err = net_wait_connected(s, timeout_ms, WSAETIMEDOUT, WSAECONNREFUSED);
    }
    set_blocking(s, true);
    if (err == 0) return connect_result::connected;
    return is_timeout_error(err) ? connect_result::timed_out : connect_result::failed;
}

// Winsock takes these time-outs as a DWORD of milliseconds, not a timeval.
void net_set_io_timeouts(sock_t s, uint32_t ms) {
    DWORD v = ms;
    setsockopt(native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v);
    setsockopt(native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&v), sizeof v);
}

int net_bind_listener(sock_t s, uint16_t port) {
    constexpr int k_bind_tries = 50; // 50 x 100 ms
    const int one = 1;
    setsockopt(native(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof one);
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
    FD_SET(native(s), &rd);
    timeval tv{};
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    const int r = select(0, &rd, nullptr, nullptr, &tv);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

sock_t net_accept(sock_t listener) {
    if (listener == k_bad_sock) return k_bad_sock;
    sockaddr_in peer{};
    int len = sizeof peer;
    const sock_t s = to_sock(accept(native(listener), reinterpret_cast<sockaddr*>(&peer), &len));
    // An accepted socket inherits the listener's non-blocking mode on Windows.
    if (s != k_bad_sock) set_blocking(s, true);
    return s;
}

// Winsock never raises SIGPIPE, so no flag is needed.
long net_send(sock_t s, const void* data, std::size_t len) {
    return send(native(s), static_cast<const char*>(data), io_len(len), 0);
}

long net_recv(sock_t s, void* data, std::size_t len) {
    return recv(native(s), static_cast<char*>(data), io_len(len), 0);
}
