// The life of the served disk: connect, start, flush, stop, disconnect. The store and the
// target do the work; here they are brought up and down in order under the state lock.
#include <cstring>

#include "norvaled.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/disk_probe.h"
#include "store/flush.h"
#include "store/image.h"
#include "store/reconnect.h"
#include "store/sftp.h"
#include "iscsi/target.h"

namespace {

constexpr int64_t k_min_image_size = 67108864; // 64 MiB

// Clean-up of a start that failed after the cache was built.
int32_t abandon_start(int32_t code) {
    reconnect_stop();
    target_close_listener();
    bc_destroy();
    image_close(g_image);
    return code;
}

// Ends the target; returns how many dirty chunks the final write-back could not save.
uint32_t stop_locked() {
    flush_stop();
    g_running.store(0);
    target_server_stop();
    // The final write-back needs the link: one more try to bring it back, then no waiting.
    reconnect_stop();
    reconnect_once_if_down();
    const uint32_t lost = bc_destroy();
    image_close(g_image);
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

NORVALED_API int32_t norvaled_connect(const char* host, int32_t port, const char* user,
                                      const char* auth_json) {
    state_guard hold(state_lock());
    err_clear();
    if (g_connected) return fail(NORVALED_E_STATE, "already connected");
    if (host == nullptr || host[0] == 0 || user == nullptr || user[0] == 0)
        return fail(NORVALED_E_ARG, "invalid host or user arguments");
    net_startup();
    return link_connect(host, port, user, auth_json);
}

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
    if (link_open_image(g_image, remote_path, static_cast<uint64_t>(size)) != 0)
        return NORVALED_E_SSH;
    bc_init(&g_image, static_cast<uint64_t>(size));
    reconnect_start();
    if (int32_t rc = target_listen(port); rc != 0) return abandon_start(rc);
    g_port.store(port);
    g_running.store(1);
    if (target_server_start() != 0) {
        g_running.store(0);
        return abandon_start(fail(NORVALED_E_RESOURCE, "server thread create failed"));
    }
    flush_start();
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
    image_close(g_image);
    link_release();
    return rc;
}

NORVALED_API int32_t norvaled_flush(void) {
    state_guard hold(state_lock());
    err_clear();
    if (!g_running.load()) return fail(NORVALED_E_STATE, "target not running");
    return bc_sync() == 0 ? 0 : NORVALED_E_SSH;
}

NORVALED_API int32_t norvaled_disk_state(void) {
    state_guard hold(state_lock());
    err_clear();
    if (!g_running.load())
        return fail(NORVALED_E_STATE, "target not running \xE2\x80\x94 call norvaled_start first");
    return bc_disk_state();
}

} // extern "C"
