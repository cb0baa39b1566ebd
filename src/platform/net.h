// Sockets: the one place that knows Winsock from BSD sockets.
#pragma once

#include <cstddef>
#include <cstdint>

// Wide enough for a Winsock SOCKET and a POSIX descriptor; both use -1 (INVALID_SOCKET is ~0).
using sock_t = std::intptr_t;
constexpr sock_t k_bad_sock = -1;

// A resolved IPv4 stream address, opaque above the seam.
struct net_addr {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    unsigned len = 0;
    alignas(8) unsigned char bytes[128] = {};
};

enum class connect_result { connected, timed_out, failed };

// Starts Winsock 2.2 once per process (a no-op on POSIX); never cleaned up.
void net_startup();

// getaddrinfo for AF_INET / SOCK_STREAM; first result only. 0, or -1 when nothing resolved.
int net_resolve_ipv4(const char* host, int port, net_addr* out);

sock_t net_socket(const net_addr& addr);
sock_t net_socket_tcp4();
void net_close(sock_t s);
// Ends both directions: a thread blocked in recv on s returns at once, and so does one
// waiting in net_wait_readable on a listener (POSIX; on Windows that wait ends by its limit).
void net_shutdown(sock_t s);

// Non-blocking connect bounded by timeout_ms; the socket is blocking again afterwards.
// "Network or host unreachable" counts as timed_out, as a dead route looks like a dead host.
connect_result net_connect_within(sock_t s, const net_addr& addr, uint32_t timeout_ms);

void net_set_io_timeouts(sock_t s, uint32_t ms); // SO_RCVTIMEO and SO_SNDTIMEO
void net_set_nodelay(sock_t s);
// The next close resets the connection and drops whatever it still had to send, instead of
// the system retrying to deliver it for minutes after the program gave the connection up.
void net_set_abortive_close(sock_t s);
void net_set_buffers(sock_t s, int bytes); // SO_SNDBUF and SO_RCVBUF

int net_bind_loopback(sock_t s, uint16_t port); // 127.0.0.1 only; 0 or -1
// Binds a listener to 127.0.0.1:port so that no other local process can bind it too, while a
// stop followed by a start on the same port still works: SO_REUSEADDR on POSIX (rebinding
// over TIME_WAIT only); SO_EXCLUSIVEADDRUSE on Windows, where SO_REUSEADDR would let another
// process share the port, and where the bind is retried for up to 5 s while the last
// connection on the port is still closing. 0 or -1.
int net_bind_listener(sock_t s, uint16_t port);
int net_listen(sock_t s, int backlog); // 0 or -1
// A listener whose accept never blocks: readiness comes from net_wait_readable.
void net_set_nonblocking(sock_t s);
// 1 when s is readable (a listener: a connection waits, or it was shut down), 0 when ms
// passed, -1 on error.
int net_wait_readable(sock_t s, uint32_t ms);
// The accepted connection, always in blocking mode; k_bad_sock on failure.
sock_t net_accept(sock_t listener);
// The locally bound port of s (0 when unknown).
uint16_t net_local_port(sock_t s);

// One send or receive; never raises SIGPIPE. > 0 bytes moved, 0 or < 0 when the peer is gone.
long net_send(sock_t s, const void* data, std::size_t len);
long net_recv(sock_t s, void* data, std::size_t len);

// Repeat until all bytes have moved: 0, or -8 when a send or receive returned 0 or less.
int net_send_all(sock_t s, const void* data, std::size_t len);
int net_recv_all(sock_t s, void* data, std::size_t len);

// RAII owner of a socket.
class unique_sock {
  public:
    unique_sock() = default;
    explicit unique_sock(sock_t s) : s_(s) {}
    unique_sock(const unique_sock&) = delete;
    unique_sock& operator=(const unique_sock&) = delete;
    unique_sock(unique_sock&& o) noexcept : s_(o.release()) {}
    unique_sock& operator=(unique_sock&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~unique_sock() { reset(); }
    sock_t get() const { return s_; }
    explicit operator bool() const { return s_ != k_bad_sock; }
    sock_t release() {
        sock_t s = s_;
        s_ = k_bad_sock;
        return s;
    }
    void reset(sock_t s = k_bad_sock) {
        if (s_ != k_bad_sock) net_close(s_);
        s_ = s;
    }

  private:
    sock_t s_ = k_bad_sock;
};
