// The exports that answer at once and never touch the image: version, last error, statistics.
#include <cstdio>

#include "norvaled.h"
#include "attach/record.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/link_health.h"

extern "C" {

NORVALED_API const char* norvaled_version(void) {
    return NORVALED_VERSION_TEXT;
}

NORVALED_API const char* norvaled_last_error(void) {
    return g_err;
}

NORVALED_API const char* norvaled_stats(void) {
    static char json[512];
    state_guard hold(state_lock());
    const bool running = g_running.load() != 0;
    const bc_counters cache = bc_stats();
    const attach_results attach = attach_results_now();
    const link_counters link = link_counters_now();
    std::snprintf(json, sizeof json,
                  "{\"running\":%d,\"connected\":%d,\"port\":%d,\"capacity\":%llu,"
                  "\"cache_hits\":%llu,\"cache_misses\":%llu,\"sftp_bytes_r\":%llu,"
                  "\"sftp_bytes_w\":%llu,\"dirty_chunks\":%u,\"svc_state_mode\":%d,"
                  "\"last_mount_formatted\":%d,\"last_unmount_stage\":%d,\"link_up\":%d,"
                  "\"reconnects\":%llu,\"reconnect_attempts\":%u,\"reconnect_next_ms\":%llu,"
                  "\"link_error\":%d,\"link_hostkey_changed\":%d}",
                  static_cast<int>(g_running.load()), static_cast<int>(g_connected),
                  static_cast<int>(g_port.load()),
                  static_cast<unsigned long long>(running ? cache.capacity : 0),
                  static_cast<unsigned long long>(cache.cache_hits),
                  static_cast<unsigned long long>(cache.cache_misses),
                  static_cast<unsigned long long>(cache.sftp_bytes_r),
                  static_cast<unsigned long long>(cache.sftp_bytes_w),
                  static_cast<unsigned>(running ? bc_dirty_count() : 0),
                  static_cast<int>(attach.svc_state_mode),
                  static_cast<int>(attach.last_mount_formatted),
                  static_cast<int>(attach.unmount_stage), link.up ? 1 : 0,
                  static_cast<unsigned long long>(link.reconnects), link.attempts,
                  static_cast<unsigned long long>(link.next_ms), static_cast<int>(link.last_error),
                  link.hostkey_changed ? 1 : 0);
    return json;
}

} // extern "C"
