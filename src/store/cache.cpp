#include "store/cache.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "norvaled.h"
#include "platform/memory.h"
#include "store/image.h"
#include "store/link_health.h"

block_cache g_bc;

// How the cache stays correct while its lock is released for image transfers:
// - A transfer marks its slot busy with the granules it covers. One transfer per slot at a
//   time; a command that needs the busy slot waits for that transfer only and then looks
//   the chunk up again, since anything may have changed meanwhile.
// - Loaded granules are never written by a transfer, so reading them never waits.
// - A load fills only the granules that are still not loaded when it lands, never over bytes
//   written meanwhile. A load that fills the buffer itself (every granule it covers was
//   missing) keeps writes out of its granules until it lands.
// - A write-back sends only loaded bytes, and writes into the granules it sends wait for it:
//   so it clears exactly the dirty marks it sent, and marks set meanwhile elsewhere stay.
// - A slot is evicted or reused only when it is neither busy nor dirty.
// - Every image transfer runs with the cache lock released, and the image routines take the
//   link lock themselves: the two locks are never held together.
// - The background pass starts no transfer while a command waits for one or makes its own,
//   so a command never waits behind more than one transfer of the pass.
// While the link is down:
// - Nothing dirty is dropped: the background pass writes nothing, and a slot for a new chunk
//   is only ever a clean one; with none, the command waits for the link within the hold.
// - No wait for the link holds the cache lock: transfers wait in the image layer, with the
//   slot busy; hits go on.
// - Synced means synced: a write-back that saw the link break under it keeps its dirty marks
//   (what it sent may have died with the old server's memory), and granules written back
//   since the last sync become dirty again when the link comes back.
namespace {

// Made on first use and never destroyed, so that worker threads still running when a host
// exits without a stop never meet a freed lock.
struct cache_sync {
    std::mutex lock;
    std::condition_variable changed; // a transfer landed, or a waiting command is done
};

cache_sync& sync_of() {
    static auto* s = new cache_sync;
    return *s;
}

using cache_lock = std::unique_lock<std::mutex>;

// Dirty granules closer than this are written back as one run with the loaded clean bytes
// between them: a run costs a round trip, and 12 KiB keeps even the worst case of a burst of
// lone 4 KiB writes at 16 KiB written per write.
constexpr uint32_t k_bridge_granules = 3;
// A write covering two partial granules loads both in one transfer when they are this close.
constexpr uint32_t k_joint_load_granules = 16;

struct granule_range {
    uint32_t lo = 0, hi = 0; // [lo, hi)
    bool empty() const { return lo >= hi; }
    uint32_t offset() const { return lo << k_granule_shift; }
    uint32_t bytes() const { return (hi - lo) << k_granule_shift; }
};

// A command that cannot be served from memory: counted from its first wait or transfer to its
// end, so that the background pass holds back.
struct command_wait {
    bool counted = false;
    void mark() {
        if (counted) return;
        counted = true;
        ++g_bc.commands_waiting;
    }
    // Called with the cache lock held.
    void done() {
        if (!counted) return;
        counted = false;
        --g_bc.commands_waiting;
        sync_of().changed.notify_all();
    }
    // Declared after the cache lock is taken, so the lock is still held here.
    ~command_wait() { done(); }
};

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

void wait_locked(cache_lock& lk, command_wait& w) {
    w.mark();
    ++g_bc.busy_waits;
    sync_of().changed.wait(lk);
}

// The smallest range holding every granule of [lo, hi) that is not loaded; empty when all are.
granule_range missing_in(const bc_slot& s, uint32_t lo, uint32_t hi) {
    while (lo < hi && s.loaded[lo])
        ++lo;
    while (hi > lo && s.loaded[hi - 1])
        --hi;
    return {lo, hi};
}

bool any_loaded(const bc_slot& s, granule_range r) {
    for (uint32_t g = r.lo; g < r.hi; ++g)
        if (s.loaded[g]) return true;
    return false;
}

bool all_loaded(const bc_slot& s, granule_range r) {
    for (uint32_t g = r.lo; g < r.hi; ++g)
        if (!s.loaded[g]) return false;
    return true;
}

bool busy_over(const bc_slot& s, granule_range r) {
    return s.busy != slot_busy::idle && r.lo < s.busy_hi && s.busy_lo < r.hi;
}

// Whether a write into r must wait for the slot's transfer: one that sends these bytes, or
// that loads straight into them. A load through its own buffer lets it go on.
bool write_must_wait(const bc_slot& s, granule_range r) {
    if (s.busy == slot_busy::loading && !s.busy_direct) return false;
    return busy_over(s, r);
}

// Loads the granules of r that are not loaded, in one transfer with the cache lock released.
// On return the lock is held again and the slot is idle.
int load_locked(cache_lock& lk, bc_slot& s, granule_range r) {
    const bool direct = !any_loaded(s, r);
    std::unique_ptr<uint8_t[]> staging;
    if (!direct) {
        staging.reset(new (std::nothrow) uint8_t[r.bytes()]);
        if (!staging) return -1;
    }
    s.busy = slot_busy::loading;
    s.busy_direct = direct;
    s.busy_lo = r.lo;
    s.busy_hi = r.hi;
    const uint64_t at = chunk_offset(s.chunk_index) + r.offset();
    uint8_t* into = direct ? s.data + r.offset() : staging.get();
    lk.unlock();
    const int rc = sftp_read_range(*g_bc.img, at, into, r.bytes());
    lk.lock();
    s.busy = slot_busy::idle;
    if (rc == 0) {
        for (uint32_t g = r.lo; g < r.hi; ++g) {
            if (s.loaded[g]) continue; // written while the load was in flight: newer
            if (!direct)
                std::memcpy(s.data + (g << k_granule_shift),
                            staging.get() + ((g - r.lo) << k_granule_shift), k_granule_size);
            s.loaded.set(g);
        }
        g_bc.sftp_bytes_r += r.bytes();
    } else if (s.loaded.none()) {
        s.last_use = 0; // holds nothing: the first to be reused
    }
    sync_of().changed.notify_all();
    return rc == 0 ? 0 : -1;
}

// The clean gap [from, to) may be sent with the dirty runs around it.
bool bridgeable(const bc_slot& s, uint32_t from, uint32_t to) {
    return to - from <= k_bridge_granules && all_loaded(s, {from, to});
}

// At most every other granule starts a run.
struct run_list {
    std::array<granule_range, k_granules / 2> at;
    uint32_t count = 0;
    const granule_range* begin() const { return at.data(); }
    const granule_range* end() const { return at.data() + count; }
};

// The dirty granules as runs in offset order, close ones joined over loaded bytes only.
run_list dirty_runs(const bc_slot& s) {
    run_list runs;
    uint32_t g = 0;
    while (g < k_granules) {
        if (!s.written[g]) {
            ++g;
            continue;
        }
        uint32_t end = g;
        while (end < k_granules && s.written[end])
            ++end;
        if (runs.count > 0 && bridgeable(s, runs.at[runs.count - 1].hi, g))
            runs.at[runs.count - 1].hi = end;
        else
            runs.at[runs.count++] = {g, end};
        g = end;
    }
    return runs;
}

// Writes the dirty runs of an idle, dirty slot back with the cache lock released. A failure
// keeps every mark: the data stays dirty for the next attempt; so does a break of the link
// while it ran, which is no failure. 0 or -10.
int write_back_locked(cache_lock& lk, bc_slot& s, link_wait wait) {
    const granule_set sent = s.written;
    const uint64_t generation = link_generation();
    const run_list runs = dirty_runs(s);
    s.busy = slot_busy::writing_back;
    s.busy_direct = false;
    s.busy_lo = runs.at[0].lo;
    s.busy_hi = runs.at[runs.count - 1].hi;
    const uint64_t base = chunk_offset(s.chunk_index);
    const uint8_t* data = s.data;
    lk.unlock();
    int rc = 0;
    uint64_t moved = 0;
    for (const granule_range& r : runs) {
        rc = sftp_write_range(*g_bc.img, base + r.offset(), data + r.offset(), r.bytes(), wait);
        if (rc != 0) break;
        moved += r.bytes();
    }
    lk.lock();
    s.busy = slot_busy::idle;
    g_bc.sftp_bytes_w += moved;
    if (rc != 0) {
        ++s.failed_write_backs;
    } else if (link_generation() == generation) {
        s.written &= ~sent;
        s.unsynced |= sent;
    }
    s.dirty.store(s.written.any() ? 1 : 0);
    sync_of().changed.notify_all();
    return rc == 0 ? 0 : -10;
}

// The least recently used slot that no transfer is using, or nullptr; while the link is down
// only a clean one, since nothing dirty can be written back.
bc_slot* lru_idle_locked(bool clean_only) {
    bc_slot* victim = nullptr;
    for (bc_slot& s : g_bc.slots)
        if (s.busy == slot_busy::idle && !(clean_only && s.dirty.load()) &&
            (victim == nullptr || s.last_use < victim->last_use))
            victim = &s;
    return victim;
}

// Waits for the link with the cache lock released. 0 when it is up (the caller looks again),
// -1 when the hold ran out first.
int wait_for_link_locked(cache_lock& lk, command_wait& w) {
    w.mark();
    lk.unlock();
    const bool up = link_wait_up(link_hold_end());
    lk.lock();
    return up ? 0 : -1;
}

// Makes a slot hold chunk, with nothing loaded: a new slot while fewer than 128 exist, else
// the least recently used idle one, written back first when dirty. 0 with out set, 0 with
// out null when it waited or wrote back (the caller looks again), or -1.
int claim_slot_locked(cache_lock& lk, command_wait& w, uint32_t chunk, bc_slot*& out) {
    out = nullptr;
    const uint32_t n = g_bc.slot_count.load();
    bc_slot* s = nullptr;
    if (n < k_slot_max) {
        s = &g_bc.slots[n];
        if (s->data == nullptr) {
            s->data = static_cast<uint8_t*>(chunk_buffer_alloc(k_chunk_size));
            if (s->data == nullptr) return -1;
        }
        g_bc.slot_count.store(n + 1);
    } else if (!link_is_up()) {
        s = lru_idle_locked(true);
        if (s == nullptr) return wait_for_link_locked(lk, w);
    } else {
        s = lru_idle_locked(false);
        if (s == nullptr) {
            wait_locked(lk, w);
            return 0;
        }
        if (s->dirty.load()) {
            w.mark();
            return write_back_locked(lk, *s, link_wait::within_hold) == 0 ? 0 : -1;
        }
    }
    if (s->valid.load() && s->unsynced.any()) ++g_bc.unsynced_evictions;
    s->chunk_index = chunk;
    s->claimed = ++g_bc.claims;
    s->loaded.reset();
    s->written.reset();
    s->unsynced.reset();
    s->failed_write_backs = 0;
    s->dirty.store(0);
    s->valid.store(1);
    touch_locked(*s);
    out = s;
    return 0;
}

// What a read of [q, q + n) at image offset p must load first. A stream (a read that
// continues the last one, or starts a chunk) loads the rest of the chunk in one transfer,
// so that sequential reads keep their rate; any other read loads only its own granules.
granule_range read_needs(const bc_slot& s, uint64_t p, uint32_t q, granule_range r) {
    const granule_range gap = missing_in(s, r.lo, r.hi);
    if (gap.empty()) return gap;
    if (q == 0 || p == g_bc.read_end) return missing_in(s, gap.lo, k_granules);
    return gap;
}

// What a write of [q, q + n) must load first: the granules it covers only in part and that
// are not loaded. What it covers whole is never loaded.
granule_range write_needs(const bc_slot& s, uint32_t q, uint32_t n, granule_range r) {
    const bool head = q != r.lo << k_granule_shift || q + n < (r.lo + 1) << k_granule_shift;
    const bool tail = q + n != r.hi << k_granule_shift;
    const bool need_head = head && !s.loaded[r.lo];
    const bool need_tail = tail && !s.loaded[r.hi - 1];
    if (need_head && need_tail && r.hi - r.lo <= k_joint_load_granules)
        return missing_in(s, r.lo, r.hi);
    if (need_head) return {r.lo, r.lo + 1};
    if (need_tail) return {r.hi - 1, r.hi};
    return {};
}

// One chunk piece [p, p + n) of a read or write: waits, loads and looks again until the
// slot holds what the piece needs, then applies it. 0 or -1.
template <typename Apply>
int piece_locked(cache_lock& lk, command_wait& w, uint64_t p, uint32_t n, bool writing,
                 Apply apply) {
    const auto chunk = static_cast<uint32_t>(p >> k_chunk_shift);
    const auto q = static_cast<uint32_t>(p & (k_chunk_size - 1));
    const granule_range r{q >> k_granule_shift, ((q + n - 1) >> k_granule_shift) + 1};
    // A hit is a piece served from what the slot held; a piece that needed a slot or a load,
    // or could not be had, is a miss.
    bool missed = false;
    const auto counted = [&missed](int rc) {
        ++(missed || rc != 0 ? g_bc.cache_misses : g_bc.cache_hits);
        return rc;
    };
    for (;;) {
        bc_slot* s = find_slot_locked(chunk);
        if (s == nullptr) {
            missed = true;
            if (claim_slot_locked(lk, w, chunk, s) != 0) return counted(-1);
            if (s == nullptr) continue;
        }
        if (writing && write_must_wait(*s, r)) {
            wait_locked(lk, w);
            continue;
        }
        const granule_range need = writing ? write_needs(*s, q, n, r) : read_needs(*s, p, q, r);
        if (!need.empty()) {
            if (s->busy != slot_busy::idle) {
                wait_locked(lk, w);
                continue;
            }
            w.mark();
            missed = true;
            if (load_locked(lk, *s, need) != 0) return counted(-1);
            continue;
        }
        apply(*s, q);
        touch_locked(*s);
        return counted(0);
    }
}

// Shared walk of bc_read and bc_write: visits each chunk piece of [offset, offset + len).
template <typename Piece>
int for_each_piece(uint64_t offset, uint32_t len, bool writing, Piece piece) {
    if (len > g_bc.capacity || offset > g_bc.capacity - len) return NORVALED_E_ARG;
    cache_lock lk(sync_of().lock);
    command_wait w;
    uint32_t done = 0;
    int rc = 0;
    while (done < len && rc == 0) {
        const uint64_t p = offset + done;
        const uint32_t n =
            std::min(len - done, k_chunk_size - static_cast<uint32_t>(p & (k_chunk_size - 1)));
        rc = piece_locked(lk, w, p, n, writing,
                          [&](bc_slot& s, uint32_t q) { piece(s, q, done, n, p); });
        done += n;
    }
    return rc;
}

struct chunk_list {
    std::array<uint32_t, k_slot_max> at;
    uint32_t count = 0;
    const uint32_t* begin() const { return at.data(); }
    const uint32_t* end() const { return at.data() + count; }
};

// The chunks of the dirty slots, in chunk order.
chunk_list dirty_chunks_locked() {
    chunk_list chunks;
    const uint32_t n = g_bc.slot_count.load();
    for (uint32_t i = 0; i < n; ++i)
        if (g_bc.slots[i].dirty.load()) chunks.at[chunks.count++] = g_bc.slots[i].chunk_index;
    std::sort(chunks.at.begin(), chunks.at.begin() + chunks.count);
    return chunks;
}

constexpr uint32_t k_no_chunk = ~uint32_t{0};

// Writes back every chunk dirty when it starts, in chunk order; chunks dirtied later are left
// to the next pass. The background pass (no command_wait) holds back while commands wait, and
// leaves out spared. An explicit flush waits for write-backs in flight and fails if one of
// them failed: it must never sync and report data safe that did not reach the image.
// The background pass writes nothing while the link is down (its transfers would only fail,
// and a command's must not wait behind them), and makes no transfer wait for the link.
int flush_locked(cache_lock& lk, command_wait* w, uint32_t spared) {
    const link_wait wait = w != nullptr ? link_wait::within_hold : link_wait::never;
    for (const uint32_t chunk : dirty_chunks_locked()) {
        if (chunk == spared) continue;
        for (;;) {
            if (w == nullptr)
                sync_of().changed.wait(lk, [] { return g_bc.commands_waiting.load() == 0; });
            if (w == nullptr && !link_is_up()) return NORVALED_E_SSH;
            bc_slot* s = find_slot_locked(chunk); // dirty slots are never reused
            if (s == nullptr || !s->dirty.load()) break;
            if (s->busy != slot_busy::idle) {
                const uint32_t failures = s->failed_write_backs;
                const uint64_t generation = link_generation();
                if (w != nullptr) w->mark();
                sync_of().changed.wait(lk);
                // One that failed because the link broke is this flush's to make again,
                // waiting within the hold; any other failure is the flush's too.
                if (w != nullptr && s->failed_write_backs != failures &&
                    link_generation() == generation)
                    return NORVALED_E_SSH;
                continue;
            }
            if (w != nullptr) w->mark();
            // Its snapshot of dirty marks holds everything written before this flush began.
            if (write_back_locked(lk, *s, wait) != 0) return NORVALED_E_SSH;
            break;
        }
    }
    return 0;
}

// Unsynced marks of every slot, taken before a sync: only those are on the disk after it.
struct unsynced_snapshot {
    std::array<granule_set, k_slot_max> marks;
    std::array<uint64_t, k_slot_max> claimed;
    uint64_t evictions = 0;
};

void take_unsynced_locked(unsynced_snapshot& snap) {
    for (uint32_t i = 0; i < k_slot_max; ++i) {
        snap.marks[i] = g_bc.slots[i].unsynced;
        snap.claimed[i] = g_bc.slots[i].claimed;
    }
    snap.evictions = g_bc.unsynced_evictions;
}

void clear_synced_locked(const unsynced_snapshot& snap) {
    for (uint32_t i = 0; i < k_slot_max; ++i)
        if (g_bc.slots[i].claimed == snap.claimed[i]) g_bc.slots[i].unsynced &= ~snap.marks[i];
    g_bc.unsynced_evictions_synced = std::max(g_bc.unsynced_evictions_synced, snap.evictions);
}

// The flush and the sync over one and the same link: a break under them starts them again on
// the new link, a few times at most, each within its own hold.
constexpr int k_sync_rounds = 3;

int sync_round(unsynced_snapshot& snap) {
    const uint64_t generation = link_generation();
    {
        cache_lock lk(sync_of().lock);
        command_wait w;
        if (flush_locked(lk, &w, k_no_chunk) != 0) return NORVALED_E_SSH;
        take_unsynced_locked(snap);
    }
    if (image_sync(*g_bc.img) != 0) return NORVALED_E_SSH;
    if (link_generation() != generation) return 1; // again, on the new link
    cache_lock lk(sync_of().lock);
    clear_synced_locked(snap);
    return 0;
}

int flush_as_command() {
    cache_lock lk(sync_of().lock);
    command_wait w;
    return flush_locked(lk, &w, k_no_chunk);
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
        s.loaded.reset();
        s.written.reset();
        s.unsynced.reset();
        s.busy = slot_busy::idle;
        s.failed_write_backs = 0;
    }
    g_bc.unsynced_evictions = 0;
    g_bc.unsynced_evictions_synced = 0;
    g_bc.next_sync_fails = false;
    g_bc.slot_count.store(0);
    g_bc.use_clock = 0;
    g_bc.claims = 0;
    g_bc.read_end = k_no_stream;
    g_bc.stream_end = k_no_stream;
    g_bc.streaming = false;
    g_bc.spared_end = k_no_stream;
    g_bc.commands_waiting.store(0);
    g_bc.cache_hits.store(0);
    g_bc.cache_misses.store(0);
    g_bc.sftp_bytes_r.store(0);
    g_bc.sftp_bytes_w.store(0);
    g_bc.busy_waits.store(0);
    g_bc.live = true;
}

int bc_read(uint64_t offset, void* buf, uint32_t len) {
    auto* out = static_cast<uint8_t*>(buf);
    return for_each_piece(offset, len, false,
                          [out](bc_slot& s, uint32_t q, uint32_t done, uint32_t n, uint64_t p) {
                              std::memcpy(out + done, s.data + q, n);
                              g_bc.read_end = p + n;
                          });
}

int bc_write(uint64_t offset, const void* buf, uint32_t len) {
    const auto* in = static_cast<const uint8_t*>(buf);
    return for_each_piece(
        offset, len, true, [in](bc_slot& s, uint32_t q, uint32_t done, uint32_t n, uint64_t p) {
            std::memcpy(s.data + q, in + done, n);
            for (uint32_t g = q >> k_granule_shift; g <= (q + n - 1) >> k_granule_shift; ++g) {
                s.loaded.set(g);
                s.written.set(g);
            }
            s.dirty.store(1);
            g_bc.streaming = p == g_bc.stream_end;
            g_bc.stream_end = p + n;
        });
}

int bc_flush() {
    return flush_as_command();
}

int bc_flush_background() {
    cache_lock lk(sync_of().lock);
    // A slow stream must not have every chunk it fills written back in pieces, but a stream
    // that has stopped must not keep its last chunk from the image for ever.
    const bool moved = g_bc.stream_end != g_bc.spared_end;
    g_bc.spared_end = g_bc.stream_end;
    const bool mid_chunk = g_bc.stream_end % k_chunk_size != 0;
    const uint32_t spared = moved && g_bc.streaming && mid_chunk
                                ? static_cast<uint32_t>(g_bc.stream_end >> k_chunk_shift)
                                : k_no_chunk;
    return flush_locked(lk, nullptr, spared);
}

int bc_sync() {
    auto snap = std::make_unique<unsynced_snapshot>();
    int rc = 1;
    for (int round = 0; round < k_sync_rounds && rc == 1; ++round)
        rc = sync_round(*snap);
    if (rc != 0) return NORVALED_E_SSH;
    cache_lock lk(sync_of().lock);
    if (g_bc.next_sync_fails) {
        g_bc.next_sync_fails = false;
        return NORVALED_E_SSH;
    }
    return 0;
}

void bc_link_restored() {
    cache_lock lk(sync_of().lock);
    if (!g_bc.live) return;
    for (bc_slot& s : g_bc.slots) {
        if (!s.valid.load() || s.unsynced.none()) continue;
        s.written |= s.unsynced; // still loaded: written back bytes are never dropped
        s.unsynced.reset();
        s.dirty.store(1);
    }
    if (g_bc.unsynced_evictions > g_bc.unsynced_evictions_synced) g_bc.next_sync_fails = true;
    g_bc.unsynced_evictions_synced = g_bc.unsynced_evictions;
}

uint32_t bc_destroy() {
    if (!g_bc.live) return 0;
    const uint32_t dirty = bc_dirty_count();
    flush_as_command();
    uint32_t lost = bc_dirty_count();
    // Written but perhaps still only in the server's memory: not safe either.
    if (lost == 0 && image_sync(*g_bc.img) != 0) lost = std::max(dirty, 1u);
    cache_lock lk(sync_of().lock);
    // Written back to a server that may have lost it before a sync, and no longer cached.
    if (lost == 0 && g_bc.next_sync_fails) lost = 1;
    // Every slot, not only those below slot_count: a new slot whose allocation came before a
    // failure keeps its buffer for the next attempt.
    for (bc_slot& s : g_bc.slots) {
        chunk_buffer_free(s.data, k_chunk_size);
        s.data = nullptr;
    }
    g_bc.slot_count.store(0);
    g_bc.live = false;
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
