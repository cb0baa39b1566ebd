// What every layer shares: the state lock, the last-error text, and the flags that more than
// one subsystem reads (running, connected, the port). Each other variable lives with the file
// that owns it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr std::size_t k_err_size = 512;

extern std::atomic<int32_t> g_port; // read by the host thread that formats the statistics
extern std::atomic<int32_t> g_running;
extern int32_t g_connected;
extern char g_err[k_err_size];

// The state lock: recursive, created once on first use (thread-safe), never destroyed.
std::recursive_mutex& state_lock();
using state_guard = std::lock_guard<std::recursive_mutex>;

// The last-error text. Exports empty and write it only under the state lock: another export
// may be writing its own message at the same moment.
void err_clear();
void err_set(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Sets the text and returns code, so failures read as `return fail(-7, "...")`.
// While an err_muted lives on a thread, that thread's failures leave the text alone: work in
// the background (a reconnect attempt) must not write over an export's message.
int32_t fail(int32_t code, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

struct err_muted {
    err_muted();
    ~err_muted();
    err_muted(const err_muted&) = delete;
    err_muted& operator=(const err_muted&) = delete;
};
