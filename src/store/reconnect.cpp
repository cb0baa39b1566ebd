#include "store/reconnect.h"

#include <atomic>

#include "platform/sys.h"
#include "platform/thread.h"
#include "store/cache.h"
#include "store/link_health.h"
#include "store/sftp.h"

namespace {

// A link with no transfer this long is asked whether it is still there: a NAT that forgot the
// flow or a peer that vanished would otherwise be noticed only when TCP gives up, minutes later.
constexpr uint64_t k_idle_probe_ms = 15000;
constexpr uint32_t k_nap_ms = 1000;

std::atomic<bool> g_keeper_running{false};
thread_t g_keeper_thread = nullptr;

// One attempt; on success the cache learns of the new link before any transfer may use it.
void attempt() {
    bool host_key_changed = false;
    const int32_t rc = link_reconnect(host_key_changed);
    if (rc != 0) {
        link_attempt_failed(rc, host_key_changed);
        return;
    }
    bc_link_restored();
    link_came_back();
}

int keeper_main() {
    while (g_keeper_running.load()) {
        if (link_is_up()) {
            if (link_idle_ms() >= k_idle_probe_ms) link_probe();
            link_keeper_nap(k_nap_ms);
            continue;
        }
        const uint64_t now = tick_ms();
        const uint64_t due = link_next_attempt_at();
        if (now < due) {
            link_keeper_nap(static_cast<uint32_t>(std::min<uint64_t>(due - now, k_nap_ms)));
            continue;
        }
        attempt();
    }
    return 0;
}

} // namespace

void reconnect_start() {
    if (!link_can_reconnect() || g_keeper_running.load()) return;
    g_keeper_running.store(true);
    link_keeper_present(true);
    g_keeper_thread = thread_start(keeper_main);
    if (g_keeper_thread == nullptr) {
        g_keeper_running.store(false);
        link_keeper_present(false);
    }
}

void reconnect_stop() {
    if (!g_keeper_running.load()) return;
    g_keeper_running.store(false);
    link_keeper_present(false);
    thread_join(g_keeper_thread);
    thread_release(g_keeper_thread);
    g_keeper_thread = nullptr;
}

void reconnect_once_if_down() {
    if (link_can_reconnect() && !link_is_up()) attempt();
}
