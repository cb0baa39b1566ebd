#include "state/state.h"

#include <cstdarg>
#include <cstdio>

#include "norvaled.h"
#include "attach/record.h"
#include "store/cache.h"

std::atomic<int32_t> g_port{NORVALED_DEFAULT_PORT};
std::atomic<int32_t> g_running{0};
int32_t g_connected = 0;
char g_err[k_err_size] = {};

std::recursive_mutex& state_lock() {
    // A function-local static is initialised exactly once even under concurrent first calls;
    // it is leaked on purpose so that no export can ever find it destroyed.
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

void err_clear() {
    g_err[0] = 0;
}

namespace {
void err_vset(const char* fmt, va_list ap) {
    std::vsnprintf(g_err, sizeof g_err, fmt, ap);
}
} // namespace

void err_set(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    err_vset(fmt, ap);
    va_end(ap);
}

int32_t fail(int32_t code, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    err_vset(fmt, ap);
    va_end(ap);
    return code;
}

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
    std::snprintf(json, sizeof json,
                  "{\"running\":%d,\"connected\":%d,\"port\":%d,\"capacity\":%llu,"
                  "\"cache_hits\":%llu,\"cache_misses\":%llu,\"sftp_bytes_r\":%llu,"
                  "\"sftp_bytes_w\":%llu,\"dirty_chunks\":%u,\"svc_state_mode\":%d,"
                  "\"last_mount_formatted\":%d,\"last_unmount_stage\":%d}",
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
                  static_cast<int>(attach.unmount_stage));
    return json;
}

} // extern "C"
