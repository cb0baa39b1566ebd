#include "state/state.h"

#include <cstdarg>
#include <cstdio>

#include "norvaled.h"

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
thread_local int t_err_muted = 0;

void err_vset(const char* fmt, va_list ap) {
    if (t_err_muted == 0) std::vsnprintf(g_err, sizeof g_err, fmt, ap);
}
} // namespace

err_muted::err_muted() {
    ++t_err_muted;
}

err_muted::~err_muted() {
    --t_err_muted;
}

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
