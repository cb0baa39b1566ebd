// Background write-back and the disk-content probe.
#include "store/flush.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "norvaled.h"
#include "platform/sys.h"
#include "state/state.h"
#include "store/cache.h"

namespace {

constexpr int k_flush_ticks = 50;         // 50 x 100 ms between passes
constexpr uint32_t k_flush_tick_ms = 100; // bounds how long a stop waits for an idle thread
// A pass starts early once this many slots are dirty: a write stream larger than the cache
// then finds clean slots to reuse, its intake overlapping the write-back, instead of writing
// back every victim itself before it can go on.
constexpr uint32_t k_early_pass_dirty = k_slot_max / 2;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool bytes_at(const uint8_t* sector, std::size_t offset, const char* text) {
    return std::memcmp(sector + offset, text, std::strlen(text)) == 0;
}

bool has_filesystem_name(const uint8_t* s) {
    return bytes_at(s, 3, "NTFS    ") || bytes_at(s, 3, "EXFAT   ") || bytes_at(s, 82, "FAT32   ");
}

bool has_partition_entry(const uint8_t* s) {
    for (std::size_t entry = 446; entry < 510; entry += 16) {
        const uint8_t type = s[entry + 4];
        if (type == 0xEE) return true; // GPT protective MBR
        if (type != 0 && le32(s + entry + 8) != 0) return true;
    }
    return false;
}

} // namespace

int flush_main() {
    bool failed = false; // after a failed pass, the next one waits the whole interval
    while (g_flush_running.load()) {
        for (int i = 0; i < k_flush_ticks && g_flush_running.load(); ++i) {
            if (!failed && bc_dirty_count() >= k_early_pass_dirty) break;
            sleep_ms(k_flush_tick_ms);
        }
        if (!g_flush_running.load()) break;
        failed = bc_dirty_count() > 0 && bc_flush_background() != 0; // a failure: next pass
    }
    return 0;
}

int32_t bc_disk_state() {
    if (g_bc.capacity < 512) return 2;
    std::array<uint8_t, 512> sector{};
    if (bc_read(0, sector.data(), sector.size()) != 0) return 2;
    if (std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; })) return 0;
    if (le16(&sector[510]) != 0xAA55) return 2;
    if (has_filesystem_name(sector.data())) return 1;
    if (has_partition_entry(sector.data())) return 1;
    return 2;
}

extern "C" NORVALED_API int32_t norvaled_disk_state(void) {
    state_guard hold(state_lock());
    err_clear();
    if (!g_running.load())
        return fail(NORVALED_E_STATE, "target not running \xE2\x80\x94 call norvaled_start first");
    return bc_disk_state();
}
