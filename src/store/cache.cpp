#include "store/cache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "state/state.h"
#include "store/image.h"

block_cache g_bc;

namespace {

uint64_t chunk_offset(uint32_t chunk) {
    return static_cast<uint64_t>(chunk) << k_chunk_shift;
}

void touch_locked(bc_slot& s) {
    s.last_use = ++g_bc.use_clock;
}

bc_slot* find_slot_locked(uint32_t chunk) {
    const uint32_t n = g_bc.slot_count.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        bc_slot& s = g_bc.slots[i];
        if (s.valid.load(std::memory_order_relaxed) && s.chunk_index == chunk) return &s;
    }
    return nullptr;
}

bc_slot* lru_victim_locked() {
    bc_slot* victim = &g_bc.slots[0];
    for (bc_slot& s : g_bc.slots)
        if (s.last_use < victim->last_use) victim = &s;
    return victim;
}

int write_back_locked(bc_slot& s) {
    if (sftp_write_exact(g_sftp_handle, chunk_offset(s.chunk_index), s.data) != 0) return -10;
    s.dirty.store(0);
    g_bc.sftp_bytes_w += k_chunk_size;
    return 0;
}

// Shared walk of bc_read and bc_write: visits each chunk piece of [offset, offset + len).
template <typename Piece>
int for_each_piece(uint64_t offset, uint32_t len, bool whole_chunk_needs_no_load, Piece piece) {
    if (len > g_bc.capacity || offset > g_bc.capacity - len) return -5;
    cache_guard hold(bc_lock());
    uint32_t done = 0;
    while (done < len) {
        const uint64_t p = offset + done;
        const auto chunk = static_cast<uint32_t>(p >> k_chunk_shift);
        const auto q = static_cast<uint32_t>(p & (k_chunk_size - 1));
        const uint32_t n = std::min(len - done, k_chunk_size - q);
        bc_slot* s = find_slot_locked(chunk);
        if (s != nullptr) {
            touch_locked(*s);
            ++g_bc.cache_hits;
        } else {
            const bool whole = q == 0 && n == k_chunk_size;
            s = bc_get_slot_locked(chunk, whole && whole_chunk_needs_no_load ? 0 : 1);
            if (s == nullptr) return -1;
            ++g_bc.cache_misses;
        }
        piece(*s, q, done, n);
        done += n;
    }
    return 0;
}

} // namespace

void bc_init(uint64_t size) {
    g_bc.capacity = size & ~static_cast<uint64_t>(k_chunk_size - 1);
    g_bc.block_count = g_bc.capacity / k_block_size;
    for (bc_slot& s : g_bc.slots) {
        s.valid.store(0);
        s.chunk_index = 0;
        s.dirty.store(0);
        s.last_use = 0;
        s.data = nullptr;
    }
    g_bc.slot_count.store(0);
    g_bc.use_clock = 0;
    g_bc.cache_hits.store(0);
    g_bc.cache_misses.store(0);
    g_bc.sftp_bytes_r.store(0);
    g_bc.sftp_bytes_w.store(0);
    g_bc.live = true;
}

std::recursive_mutex& bc_lock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

int bc_read(uint64_t offset, void* buf, uint32_t len) {
    auto* out = static_cast<uint8_t*>(buf);
    return for_each_piece(offset, len, false,
                          [out](bc_slot& s, uint32_t q, uint32_t done, uint32_t n) {
                              std::memcpy(out + done, s.data + q, n);
                          });
}

int bc_write(uint64_t offset, const void* buf, uint32_t len) {
    const auto* in = static_cast<const uint8_t*>(buf);
    return for_each_piece(offset, len, true,
                          [in](bc_slot& s, uint32_t q, uint32_t done, uint32_t n) {
                              std::memcpy(s.data + q, in + done, n);
                              s.dirty.store(1);
                          });
}

bc_slot* bc_get_slot_locked(uint32_t chunk, int fill) {
    bc_slot* s = nullptr;
    const uint32_t n = g_bc.slot_count.load();
    if (n < k_slot_max) {
        s = &g_bc.slots[n];
        if (s->data == nullptr) {
            s->data = static_cast<uint8_t*>(std::calloc(1, k_chunk_size));
            if (s->data == nullptr) return nullptr;
        }
    } else {
        s = lru_victim_locked();
        if (s->valid.load() && s->dirty.load() && write_back_locked(*s) != 0) return nullptr;
    }
    if (fill) {
        // A failed load must never leave a slot claiming a chunk it does not hold: a new
        // slot stays unused, and a reused victim (already clean) is emptied and goes first
        // next time.
        if (sftp_read_chunk(g_sftp_handle, chunk_offset(chunk), s->data) != 0) {
            if (n >= k_slot_max) {
                s->valid.store(0);
                s->last_use = 0;
            }
            return nullptr;
        }
        g_bc.sftp_bytes_r += k_chunk_size;
    } else {
        std::memset(s->data, 0, k_chunk_size);
    }
    if (n < k_slot_max) g_bc.slot_count.store(n + 1);
    s->chunk_index = chunk;
    s->valid.store(1);
    s->dirty.store(0);
    touch_locked(*s);
    return s;
}

int bc_flush_locked() {
    const uint32_t n = g_bc.slot_count.load();
    for (uint32_t i = 0; i < n; ++i) {
        bc_slot& s = g_bc.slots[i];
        if (s.valid.load() && s.dirty.load() && write_back_locked(s) != 0) return -10;
    }
    return 0;
}

int bc_sync_locked() {
    if (bc_flush_locked() != 0) return -10;
    return image_sync() == 0 ? 0 : -10;
}

uint32_t bc_destroy() {
    if (!g_bc.live) return 0;
    uint32_t lost = 0;
    {
        cache_guard hold(bc_lock());
        const uint32_t dirty = bc_dirty_count();
        bc_flush_locked();
        lost = bc_dirty_count();
        // Written but perhaps still only in the server's memory: not safe either.
        if (lost == 0 && image_sync() != 0) lost = std::max(dirty, 1u);
        // Every slot, not only those below slot_count: a new slot whose first load failed
        // keeps its buffer for the next attempt.
        for (bc_slot& s : g_bc.slots) {
            std::free(s.data);
            s.data = nullptr;
        }
        g_bc.slot_count.store(0);
        g_bc.live = false;
    }
    return lost;
}

uint32_t bc_dirty_count() {
    const uint32_t n = g_bc.slot_count.load();
    uint32_t dirty = 0;
    for (uint32_t i = 0; i < n; ++i)
        if (g_bc.slots[i].valid.load() && g_bc.slots[i].dirty.load()) ++dirty;
    return dirty;
}
