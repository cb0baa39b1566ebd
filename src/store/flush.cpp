// The background write-back thread.
#include "store/flush.h"

#include <atomic>

#include "platform/sys.h"
#include "platform/thread.h"
#include "store/cache.h"
#include "store/link_health.h"

namespace {

constexpr int k_flush_ticks = 50;         // 50 x 100 ms between passes
constexpr uint32_t k_flush_tick_ms = 100; // bounds how long a stop waits for an idle thread
constexpr uint32_t k_flush_join_ms = 10000;
// A pass starts early once this many slots are dirty: a write stream larger than the cache
// then finds clean slots to reuse, its intake overlapping the write-back, instead of writing
// back every victim itself before it can go on.
constexpr uint32_t k_early_pass_dirty = k_slot_max / 2;

std::atomic<int32_t> g_flush_running{0};
thread_t g_flush_thread = nullptr;

// Body of the flush thread: about every 5 s, or as soon as half the slots are dirty, writes
// dirty chunks back while g_flush_running. No pass while the link is down; the first one
// follows as soon as it is back, since what waited for it is the oldest dirty data.
int flush_main() {
    bool failed = false; // after a failed pass, the next one waits the whole interval
    while (g_flush_running.load()) {
        bool link_was_down = !link_is_up();
        for (int i = 0; i < k_flush_ticks && g_flush_running.load(); ++i) {
            const bool up = link_is_up();
            if (up && link_was_down && bc_dirty_count() > 0) break;
            link_was_down = !up;
            if (!failed && up && bc_dirty_count() >= k_early_pass_dirty) break;
            sleep_ms(k_flush_tick_ms);
        }
        if (!g_flush_running.load()) break;
        if (!link_is_up()) continue;
        failed = bc_dirty_count() > 0 && bc_flush_background() != 0; // a failure: next pass
    }
    return 0;
}

} // namespace

void flush_start() {
    g_flush_running.store(1);
    g_flush_thread = thread_start(flush_main);
    if (g_flush_thread == nullptr) g_flush_running.store(0); // serve without background flush
}

void flush_stop() {
    if (!g_flush_running.load()) return;
    g_flush_running.store(0);
    thread_end_within(g_flush_thread, k_flush_join_ms);
}
