#include "interrupt.h"

#include <array>
#include <atomic>
#include <cstring>

#include "platform.h"

namespace {

constexpr std::size_t k_notice_cap = 256;

std::atomic<int> g_interrupts{0};

// Two buffers: the main thread fills the one not on show, then publishes it with its length
// in one atomic store, so the interrupt side never reads a half-written text.
std::array<std::array<char, k_notice_cap>, 2> g_notices{};
std::atomic<int> g_notice_shown{-1}; // length * 2 + buffer index; -1 for none

} // namespace

int interrupt_count() {
    return g_interrupts.load();
}

void interrupt_arrived() {
    if (g_interrupts.fetch_add(1) == 0) return;
    const int shown = g_notice_shown.load();
    if (shown < 0) return;
    platform_write_stderr(g_notices[static_cast<std::size_t>(shown & 1)].data(),
                          static_cast<std::size_t>(shown >> 1));
}

void interrupt_set_notice(const std::string& text) {
    if (text.empty()) {
        g_notice_shown.store(-1);
        return;
    }
    const int shown = g_notice_shown.load();
    const int next = shown >= 0 && (shown & 1) == 0 ? 1 : 0;
    auto& buf = g_notices[static_cast<std::size_t>(next)];
    const std::size_t len = text.size() < k_notice_cap - 1 ? text.size() : k_notice_cap - 1;
    std::memcpy(buf.data(), text.data(), len);
    buf[len] = '\n';
    g_notice_shown.store(static_cast<int>(len + 1) * 2 + next);
}
