#include "store/cache.h"

#include <algorithm>
#include <cstring>

#include "norvaled.h"
#include "platform/memory.h"
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

bool partial(const bc_slot& s) {
    return s.filled < k_chunk_size;
}

// Loads the bytes a write stream has not supplied, making the chunk whole. On failure the
// slot still claims only its leading bytes and stays dirty: a later use tries again.
int complete_locked(bc_slot& s) {
    if (!partial(s)) return 0;
    const uint32_t from = s.filled;
    if (sftp_read_tail(*g_bc.img, chunk_offset(s.chunk_index), s.data, from) != 0) return -1;
    s.filled = k_chunk_size;
    g_bc.sftp_bytes_r += k_chunk_size - from;
    return 0;
}

int write_back_locked(bc_slot& s) {
    // Never a partial chunk: its tail in the buffer is not the image's, and would overwrite it.
    if (complete_locked(s) != 0) return NORVALED_E_SSH;
    if (sftp_write_exact(*g_bc.img, chunk_offset(s.chunk_index), s.data) != 0)
        return NORVALED_E_SSH;
    s.dirty.store(0);
    g_bc.sftp_bytes_w += k_chunk_size;
    return 0;
}

// The partial chunk that the last write ended in, which the next piece of a stream continues.
bool is_stream_tip(const bc_slot& s) {
    return partial(s) && chunk_offset(s.chunk_index) + s.filled == g_bc.stream_end;
}

int flush_slots_locked(bool spare_stream_tip) {
    const uint32_t n = g_bc.slot_count.load();
    for (uint32_t i = 0; i < n; ++i) {
        bc_slot& s = g_bc.slots[i];
        if (!s.valid.load() || !s.dirty.load()) continue;
        if (spare_stream_tip && is_stream_tip(s)) continue;
        if (write_back_locked(s) != 0) return NORVALED_E_SSH;
    }
    return 0;
}

// A cached chunk that a piece of [q, q + n) may use as it stands: a read needs every byte it
// touches, a write needs no gap between the held bytes and its own.
int ready_for_piece_locked(bc_slot& s, uint32_t q, uint32_t n, bool writing) {
    const bool held = writing ? q <= s.filled : q + n <= s.filled;
    return held ? 0 : complete_locked(s);
}

// How a write piece at p that misses takes its slot. A whole chunk needs nothing from the
// image. A piece that starts a chunk exactly where the last write (or the last piece of this
// one) ended is a sequential stream, which will most likely overwrite the whole chunk: the
// chunk is taken empty, and its tail is loaded only if something needs it before the stream
// has filled it. Any other piece loads the chunk first, a lone small write included.
int write_fill(uint64_t p, uint32_t q, uint32_t n) {
    if (q == 0 && n == k_chunk_size) return k_fill_zero;
    if (q == 0 && p == g_bc.stream_end) return k_fill_stream;
    return k_fill_load;
}

// Shared walk of bc_read and bc_write: visits each chunk piece of [offset, offset + len).
template <typename Piece>
int for_each_piece(uint64_t offset, uint32_t len, bool writing, Piece piece) {
    if (len > g_bc.capacity || offset > g_bc.capacity - len) return NORVALED_E_ARG;
    cache_guard hold(bc_lock());
    uint32_t done = 0;
    while (done < len) {
        const uint64_t p = offset + done;
        const auto chunk = static_cast<uint32_t>(p >> k_chunk_shift);
        const auto q = static_cast<uint32_t>(p & (k_chunk_size - 1));
        const uint32_t n = std::min(len - done, k_chunk_size - q);
        bc_slot* s = find_slot_locked(chunk);
        if (s != nullptr) {
            if (ready_for_piece_locked(*s, q, n, writing) != 0) return -1;
            touch_locked(*s);
            ++g_bc.cache_hits;
        } else {
            s = bc_get_slot_locked(chunk, writing ? write_fill(p, q, n) : k_fill_load);
            if (s == nullptr) return -1;
            ++g_bc.cache_misses;
        }
        piece(*s, q, done, n);
        done += n;
    }
    return 0;
}

} // namespace

void bc_init(image* img, uint64_t size) {
    g_bc.img = img;
    g_bc.capacity = size & ~static_cast<uint64_t>(k_chunk_size - 1);
    g_bc.block_count = g_bc.capacity / k_block_size;
    for (bc_slot& s : g_bc.slots) {
        s.valid.store(0);
        s.chunk_index = 0;
        s.dirty.store(0);
        s.last_use = 0;
        s.data = nullptr;
        s.filled = k_chunk_size;
    }
    g_bc.slot_count.store(0);
    g_bc.use_clock = 0;
    g_bc.stream_end = k_no_stream;
    g_bc.spared_end = k_no_stream;
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
                              if (partial(s)) s.filled = std::max(s.filled, q + n);
                              g_bc.stream_end = chunk_offset(s.chunk_index) + q + n;
                          });
}

bc_slot* bc_get_slot_locked(uint32_t chunk, int fill) {
    bc_slot* s = nullptr;
    const uint32_t n = g_bc.slot_count.load();
    if (n < k_slot_max) {
        s = &g_bc.slots[n];
        if (s->data == nullptr) {
            s->data = static_cast<uint8_t*>(chunk_buffer_alloc(k_chunk_size));
            if (s->data == nullptr) return nullptr;
        }
    } else {
        s = lru_victim_locked();
        if (s->valid.load() && s->dirty.load() && write_back_locked(*s) != 0) return nullptr;
    }
    if (fill == k_fill_load) {
        // A failed load must never leave a slot claiming a chunk it does not hold: a new
        // slot stays unused, and a reused victim (already clean) is emptied and goes first
        // next time.
        if (sftp_read_chunk(*g_bc.img, chunk_offset(chunk), s->data) != 0) {
            if (n >= k_slot_max) {
                s->valid.store(0);
                s->last_use = 0;
            }
            return nullptr;
        }
        g_bc.sftp_bytes_r += k_chunk_size;
    } else if (fill == k_fill_zero) {
        std::memset(s->data, 0, k_chunk_size);
    }
    s->filled = fill == k_fill_stream ? 0 : k_chunk_size;
    if (n < k_slot_max) g_bc.slot_count.store(n + 1);
    s->chunk_index = chunk;
    s->valid.store(1);
    s->dirty.store(0);
    touch_locked(*s);
    return s;
}

int bc_flush_locked() {
    return flush_slots_locked(false);
}

int bc_flush_background_locked() {
    // A slow stream must not be made to read the tail of every chunk it is filling, but a
    // stream that has stopped must not keep its last chunk from the image for ever.
    const bool moved = g_bc.stream_end != g_bc.spared_end;
    g_bc.spared_end = g_bc.stream_end;
    return flush_slots_locked(moved);
}

int bc_sync_locked() {
    if (bc_flush_locked() != 0) return NORVALED_E_SSH;
    return image_sync(*g_bc.img) == 0 ? 0 : NORVALED_E_SSH;
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
        if (lost == 0 && image_sync(*g_bc.img) != 0) lost = std::max(dirty, 1u);
        // Every slot, not only those below slot_count: a new slot whose first load failed
        // keeps its buffer for the next attempt.
        for (bc_slot& s : g_bc.slots) {
            chunk_buffer_free(s.data, k_chunk_size);
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

bc_counters bc_stats() {
    bc_counters c;
    c.capacity = g_bc.capacity;
    c.cache_hits = g_bc.cache_hits.load();
    c.cache_misses = g_bc.cache_misses.load();
    c.sftp_bytes_r = g_bc.sftp_bytes_r.load();
    c.sftp_bytes_w = g_bc.sftp_bytes_w.load();
    return c;
}
