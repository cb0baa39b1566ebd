// The disk-content probe: what sector 0 of the served disk holds.
#include "store/disk_probe.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "norvaled.h"
#include "state/state.h"
#include "store/cache.h"

namespace {

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

int32_t bc_disk_state() {
    if (g_bc.capacity < 512) return 2;
    std::array<uint8_t, 512> sector{};
    // A sector that could not be read says nothing of what the disk holds: calling it
    // unrecognised would let a mount format a disk full of data after a passing failure.
    if (bc_read(0, sector.data(), sector.size()) != 0)
        return fail(NORVALED_E_SSH, "cannot read the disk's first sector");
    if (std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; })) return 0;
    if (le16(&sector[510]) != 0xAA55) return 2;
    if (has_filesystem_name(sector.data())) return 1;
    if (has_partition_entry(sector.data())) return 1;
    return 2;
}
