// The target's listener and server thread: one initiator connection at a time, each request
// dispatched by opcode to its handler.
#include "iscsi/target.h"

#include <exception>
#include <mutex>

#include "norvaled.h"
#include "platform/sys.h"
#include "platform/thread.h"
#include "state/state.h"
#include "iscsi/conn.h"

namespace {

constexpr int k_socket_buffer_bytes = 4194304;
constexpr int k_listen_backlog = 4;
constexpr uint32_t k_server_join_ms = 5000;

std::atomic<sock_t> g_listen_sock{k_bad_sock};
thread_t g_server_thread = nullptr;
// The connection being served, or k_bad_sock. The stop shuts it down so that the server
// thread leaves the connection loop instead of waiting for the initiator to go away.
std::atomic<sock_t> g_conn_sock{k_bad_sock};

// Held while g_conn_sock is cleared and while a stop shuts it down, so the stop never
// shuts down a descriptor number that has been closed and reused meanwhile.
std::mutex g_conn_sock_lock;

int answer_tmf_idle(iscsi_conn& c, const rx_pdu& req) {
    // No command is pending when a request is read here, so there is nothing to abort.
    return answer_tmf(c, req, false);
}

int answer_logout_idle(iscsi_conn& c, const rx_pdu& req) {
    return answer_logout(c, req, false);
}

int answer_nop(iscsi_conn& c, const rx_pdu& req) {
    return answer_nop_out(c, req, false);
}

int reject(iscsi_conn& c, const rx_pdu& req) {
    return send_reject(c, req.hdr);
}

using pdu_handler = int (*)(iscsi_conn&, const rx_pdu&);
struct pdu_route {
    uint8_t op;
    pdu_handler handle;
};

// Requests by opcode (the I bit plays no part). A Data-Out read here belongs to no write:
// the data phase of a write reads its own Data-Out PDUs.
constexpr pdu_route k_routes[] = {
    {op_nop_out, answer_nop},
    {op_scsi_cmd, scsi_command},
    {op_tmf_req, answer_tmf_idle},
    {op_login_req, login_request},
    {op_text_req, text_request},
    {op_data_out, reject},
    {op_logout_req, answer_logout_idle},
};

int dispatch(iscsi_conn& c, const rx_pdu& p) {
    const uint8_t op = bhs_opcode(p.hdr);
    for (const pdu_route& r : k_routes)
        if (r.op == op) return r.handle(c, p);
    return reject(c, p);
}

// The next request: first the commands kept during a data phase, then the socket.
int next_pdu(iscsi_conn& c, rx_pdu& p) {
    c.early_data_out.clear();
    if (c.kept.empty()) return recv_pdu(c, p);
    kept_command& k = c.kept.front();
    p = std::move(k.cmd);
    c.early_data_out = std::move(k.data_out);
    c.kept.pop_front();
    return 0;
}

// Waits for the next initiator while the target runs: its socket, or k_bad_sock once the
// stop has begun. The listener is non-blocking, so a connection that vanished between the
// wake-up and accept costs a turn, not a wait that only the next initiator would end.
sock_t accept_next(sock_t listener) {
    constexpr uint32_t k_accept_poll_ms = 200; // bounds how long a stop waits on Windows
    constexpr uint32_t k_accept_retry_ms = 50;
    while (g_running.load()) {
        const int ready = net_wait_readable(listener, k_accept_poll_ms);
        if (ready < 0) return k_bad_sock;
        if (ready == 0) continue;
        const sock_t s = net_accept(listener);
        if (s != k_bad_sock) return s;
        sleep_ms(k_accept_retry_ms); // out of descriptors, say: never spin on it
    }
    return k_bad_sock;
}

// Wakes the server thread's wait for an initiator; the listener stays open until that
// thread has ended, so the thread never uses a closed (and perhaps reused) socket number.
void wake_listener() {
    net_shutdown(g_listen_sock.load());
}

// Shuts the connection being served down, if any. Unlike shutting down g_conn_sock's value
// directly, it cannot hit a descriptor that the server thread has just closed and the
// process has reused for something else.
void end_connection() {
    std::lock_guard<std::mutex> hold(g_conn_sock_lock);
    net_shutdown(g_conn_sock.load());
}

// Body of the server thread: accepts one initiator connection at a time on g_listen_sock
// until accept fails (the stop closes the listener). Returns 0.
int server_main() {
    // g_listen_sock is only shut down while this thread runs; the stop closes it after this
    // thread has ended, so the number used here can never belong to another socket.
    const sock_t listener = g_listen_sock.load();
    while (g_running.load()) {
        const sock_t s = accept_next(listener);
        if (s == k_bad_sock) return 0;
        // Published before g_running is tested again: a stop running now either finds the
        // socket to shut down or has cleared g_running, which this test then sees.
        g_conn_sock.store(s);
        if (g_running.load()) target_serve_connection(s);
        {
            std::lock_guard<std::mutex> hold(g_conn_sock_lock);
            g_conn_sock.store(k_bad_sock);
        }
        net_close(s);
    }
    return 0;
}

} // namespace

// Serves one accepted connection until it ends; the caller closes the socket. Memory that
// cannot be had (a kept command, a text answer) ends this connection, not the process.
void target_serve_connection(sock_t s) {
    try {
        iscsi_conn c;
        c.conn_socket = s;
        net_set_nodelay(s);
        net_set_buffers(s, k_socket_buffer_bytes);
        rx_pdu p;
        while (next_pdu(c, p) == 0 && dispatch(c, p) == 0) {
        }
    } catch (const std::exception&) {
    }
}

// Creates the loopback listener into g_listen_sock: 0 or -8 with the message set.
int32_t target_listen(int32_t port) {
    unique_sock s(net_socket_tcp4());
    if (!s) return fail(NORVALED_E_NET, "socket creation failed");
    if (net_bind_listener(s.get(), static_cast<uint16_t>(port)) != 0)
        return fail(NORVALED_E_NET, "bind failed on port %d", port);
    if (net_listen(s.get(), k_listen_backlog) != 0) return fail(NORVALED_E_NET, "listen failed");
    net_set_nonblocking(s.get());
    g_listen_sock.store(s.release());
    return 0;
}

void target_close_listener() {
    net_close(g_listen_sock.exchange(k_bad_sock));
}

int32_t target_server_start() {
    g_server_thread = thread_start(server_main);
    return g_server_thread != nullptr ? 0 : NORVALED_E_RESOURCE;
}

void target_server_stop() {
    wake_listener();
    end_connection();
    thread_end_within(g_server_thread, k_server_join_ms);
    target_close_listener();
}
