#include "store/link_health.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/sys.h"

namespace {

constexpr uint32_t k_first_pause_ms = 1000;
constexpr uint32_t k_longest_pause_ms = 30000;
// Long enough for a server restart or a Wi-Fi hand-over, short enough that a command which
// waited a whole hold and then a stalled transfer still answers before Windows' 60 s disk
// time-out resets the session.
constexpr uint32_t k_default_hold_ms = 15000;
// Time for the last attempt within the hold to finish before the hold ends.
constexpr uint64_t k_before_hold_end_ms = 1000;

// Everything here is small and taken briefly; it may be taken under the link lock, never the
// other way round. Made on first use and never destroyed, like the other process-wide locks.
struct health {
    std::mutex lock;
    std::condition_variable up_again; // waiters for the link
    std::condition_variable keeper;   // the reconnect thread's naps
    bool keeper_woken = false;
    bool keeper_present = false;
    uint64_t broken_at = 0;
    uint64_t next_at = 0;
    uint32_t pause = k_first_pause_ms;
    link_counters counters;
};

health& h() {
    static auto* state = new health;
    return *state;
}

std::atomic<bool> g_link_up{true};
std::atomic<uint64_t> g_link_generation{0};
std::atomic<uint64_t> g_last_io{0};

uint32_t hold_ms() {
    std::string text;
    if (!env_get("NORVALED_RECONNECT_HOLD_MS", text) || text.empty() || text.size() > 31)
        return k_default_hold_ms;
    const long ms = std::atol(text.c_str());
    return ms >= 0 ? static_cast<uint32_t>(std::min<long>(ms, 3600000)) : k_default_hold_ms;
}

} // namespace

void link_health_reset() {
    health& s = h();
    std::lock_guard<std::mutex> hold(s.lock);
    s.counters = link_counters{};
    s.pause = k_first_pause_ms;
    g_link_up.store(true);
    g_last_io.store(tick_ms());
}

bool link_is_up() {
    return g_link_up.load();
}

uint64_t link_generation() {
    return g_link_generation.load();
}

void link_broke_locked() {
    health& s = h();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!g_link_up.load()) return;
        g_link_up.store(false);
        ++g_link_generation;
        s.broken_at = tick_ms();
        s.pause = k_first_pause_ms;
        s.next_at = s.broken_at + s.pause;
        s.counters.up = false;
        s.counters.attempts = 0;
        s.counters.last_error = 0;
        s.counters.hostkey_changed = false;
        s.keeper_woken = true;
    }
    s.keeper.notify_all();
}

void link_came_back() {
    health& s = h();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        g_link_up.store(true);
        g_last_io.store(tick_ms());
        ++s.counters.reconnects;
        s.counters.up = true;
        s.counters.attempts = 0;
        s.counters.last_error = 0;
        s.counters.hostkey_changed = false;
    }
    s.up_again.notify_all();
}

void link_attempt_failed(int32_t code, bool hostkey_changed) {
    health& s = h();
    std::lock_guard<std::mutex> hold(s.lock);
    ++s.counters.attempts;
    s.counters.last_error = code;
    s.counters.hostkey_changed = hostkey_changed;
    s.pause = std::min(s.pause * 2, k_longest_pause_ms);
    const uint64_t now = tick_ms();
    s.next_at = now + s.pause;
    // Commands wait until the hold ends: one more try just before that, so that a server back
    // after 8 s is not found only when they have already failed.
    const uint64_t last_try = s.broken_at + hold_ms();
    if (last_try > now + k_before_hold_end_ms && s.next_at > last_try - k_before_hold_end_ms)
        s.next_at = last_try - k_before_hold_end_ms;
}

uint64_t link_hold_end() {
    std::lock_guard<std::mutex> hold(h().lock);
    return h().broken_at + hold_ms();
}

bool link_wait_up(uint64_t deadline_ms) {
    health& s = h();
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        if (g_link_up.load()) return true;
        const uint64_t now = tick_ms();
        if (!s.keeper_present || now >= deadline_ms) return false;
        s.up_again.wait_for(hold, std::chrono::milliseconds(deadline_ms - now));
    }
}

void link_keeper_present(bool present) {
    health& s = h();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.keeper_present = present;
        s.keeper_woken = true;
    }
    s.up_again.notify_all(); // nobody will bring the link back: waiters give up now
    s.keeper.notify_all();
}

void link_keeper_nap(uint32_t ms) {
    health& s = h();
    std::unique_lock<std::mutex> hold(s.lock);
    s.keeper.wait_for(hold, std::chrono::milliseconds(ms), [&] { return s.keeper_woken; });
    s.keeper_woken = false;
}

void link_note_io() {
    g_last_io.store(tick_ms());
}

uint64_t link_idle_ms() {
    const uint64_t now = tick_ms();
    const uint64_t last = g_last_io.load();
    return now > last ? now - last : 0;
}

uint64_t link_next_attempt_at() {
    std::lock_guard<std::mutex> hold(h().lock);
    return h().next_at;
}

link_counters link_counters_now() {
    health& s = h();
    std::lock_guard<std::mutex> hold(s.lock);
    link_counters c = s.counters;
    c.up = g_link_up.load();
    const uint64_t now = tick_ms();
    c.next_ms = !c.up && s.next_at > now ? s.next_at - now : 0;
    return c;
}
