// Bringing the target up and down on an established connection.
#include <cstring>

#include "norvaled.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/flush.h"
#include "store/image.h"
#include "store/sftp.h"
#include "iscsi/target.h"

namespace {

constexpr int64_t k_min_image_size = 67108864; // 64 MiB
constexpr int k_listen_backlog = 4;
constexpr uint32_t k_flush_join_ms = 10000;
constexpr uint32_t k_server_join_ms = 5000;

// Creates the loopback listener into g_listen_sock: 0 or -8 with the message set.
int32_t open_listener(int32_t port) {
    unique_sock s(net_socket_tcp4());
    if (!s) return fail(NORVALED_E_NET, "socket creation failed");
    if (net_bind_listener(s.get(), static_cast<uint16_t>(port)) != 0)
        return fail(NORVALED_E_NET, "bind failed on port %d", port);
    if (net_listen(s.get(), k_listen_backlog) != 0) return fail(NORVALED_E_NET, "listen failed");
    net_set_nonblocking(s.get());
    g_listen_sock.store(s.release());
    return 0;
}

// Wakes the server thread's wait for an initiator; the listener stays open until that
// thread has ended, so the thread never uses a closed (and perhaps reused) socket number.
void wake_listener() {
    net_shutdown(g_listen_sock.load());
}

void close_listener() {
    net_close(g_listen_sock.exchange(k_bad_sock));
}

// A worker thread must be gone before the cache is freed; past its limit it can only be
// finishing one image transfer, which the SSH time-out bounds, so wait for that.
void end_thread(thread_t& t, uint32_t limit_ms) {
    if (t == nullptr) return;
    if (!thread_join_for(t, limit_ms)) thread_join(t);
    thread_release(t);
    t = nullptr;
}

// Clean-up of a start that failed after the cache was built.
int32_t abandon_start(int32_t code) {
    close_listener();
    bc_destroy();
    image_close();
    return code;
}

// Ends the target; returns how many dirty chunks the final write-back could not save.
uint32_t stop_locked() {
    if (g_flush_running.load()) {
        g_flush_running.store(0);
        end_thread(g_flush_thread, k_flush_join_ms);
    }
    g_running.store(0);
    wake_listener();
    target_end_connection();
    end_thread(g_server_thread, k_server_join_ms);
    close_listener();
    const uint32_t lost = bc_destroy();
    image_close();
    return lost;
}

// The stop, with the data the final write-back could not save reported: 0 or -10.
int32_t stop_reporting_loss() {
    if (uint32_t lost = stop_locked(); lost != 0)
        return fail(NORVALED_E_SSH,
                    "final write-back failed: %u chunk(s) of cached data could not be written "
                    "to the image",
                    lost);
    return 0;
}

} // namespace

extern "C" {

NORVALED_API int32_t norvaled_start(const char* remote_path, int64_t size, int32_t port) {
    net_startup();
    state_guard hold(state_lock());
    err_clear();
    if (!g_connected)
        return fail(NORVALED_E_STATE, "SFTP not connected - call norvaled_connect first");
    if (g_running.load()) return fail(NORVALED_E_STATE, "target already running");
    if (remote_path == nullptr || remote_path[0] == 0 || size < k_min_image_size)
        return fail(NORVALED_E_ARG, "invalid remote_path or size (minimum 64MB required)");
    if (port <= 0) port = NORVALED_DEFAULT_PORT;
    if (port > 65535) return fail(NORVALED_E_ARG, "invalid port %d (1..65535)", port);
    std::snprintf(g_remote_path, sizeof g_remote_path, "%s", remote_path);
    if (image_open(static_cast<uint64_t>(size)) != 0) return NORVALED_E_SSH;
    bc_init(static_cast<uint64_t>(size));
    if (int32_t rc = open_listener(port); rc != 0) return abandon_start(rc);
    g_port.store(port);
    g_running.store(1);
    g_server_thread = thread_start(server_main);
    if (g_server_thread == nullptr) {
        g_running.store(0);
        return abandon_start(fail(NORVALED_E_RESOURCE, "server thread create failed"));
    }
    g_flush_running.store(1);
    g_flush_thread = thread_start(flush_main);
    if (g_flush_thread == nullptr) g_flush_running.store(0); // serve without background flush
    return 0;
}

NORVALED_API int32_t norvaled_stop(void) {
    state_guard hold(state_lock());
    err_clear();
    if (!g_running.load()) return fail(NORVALED_E_STATE, "target not running");
    return stop_reporting_loss();
}

NORVALED_API int32_t norvaled_disconnect(void) {
    state_guard hold(state_lock());
    err_clear();
    // The disconnect completes either way; only the stop's loss is reported.
    const int32_t rc = g_running.load() ? stop_reporting_loss() : 0;
    if (g_mock_mode) {
        image_close();
        g_mock_mode = 0;
        g_connected = 0;
        return rc;
    }
    ssh_release_all();
    return rc;
}

NORVALED_API int32_t norvaled_flush(void) {
    state_guard hold(state_lock());
    err_clear();
    if (!g_running.load()) return fail(NORVALED_E_STATE, "target not running");
    return bc_sync() == 0 ? 0 : NORVALED_E_SSH;
}

} // extern "C"
