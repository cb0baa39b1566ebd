// The write-back block cache: up to 128 chunks of 2 MiB between the target and the image.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

struct image;

constexpr uint32_t k_chunk_size = 2097152; // 2 MiB; chunk n covers bytes n*2MiB .. (n+1)*2MiB-1
constexpr uint32_t k_chunk_shift = 21;
constexpr uint32_t k_slot_max = 128;
constexpr uint32_t k_block_size = 512;
constexpr uint64_t k_no_stream = ~uint64_t{0};

// How bc_get_slot_locked fills a slot it takes.
constexpr int k_fill_zero = 0;   // zeros: the caller overwrites the whole chunk
constexpr int k_fill_load = 1;   // the chunk from the image
constexpr int k_fill_stream = 2; // nothing yet (filled 0): a write stream supplies it

struct bc_slot {
    std::atomic<int32_t> valid{0}; // read by the statistics without the cache lock
    uint32_t chunk_index = 0;
    std::atomic<int32_t> dirty{0}; // likewise
    uint64_t last_use = 0;
    uint8_t* data = nullptr; // 2 MiB, owned by the cache
    // Leading bytes of data that hold the chunk: all of it, except while a sequential write
    // stream fills a chunk that was never loaded. Then the rest is loaded (the tail) before
    // anything reads, skips ahead of or writes back the chunk.
    uint32_t filled = k_chunk_size;
};

struct block_cache {
    uint64_t capacity = 0;    // bytes served: the start size rounded down to 2 MiB
    uint64_t block_count = 0; // capacity / 512
    std::array<bc_slot, k_slot_max> slots;
    std::atomic<uint32_t> slot_count{0};
    uint64_t use_clock = 0;
    uint64_t stream_end = k_no_stream; // where the last write into the cache ended
    uint64_t spared_end = k_no_stream; // stream_end when the background pass last spared it
    bool live = false;                 // from bc_init to bc_destroy
    image* img = nullptr;              // what the chunks are loaded from and written to
    std::atomic<uint64_t> cache_hits{0};
    std::atomic<uint64_t> cache_misses{0};
    std::atomic<uint64_t> sftp_bytes_r{0};
    std::atomic<uint64_t> sftp_bytes_w{0};
};

extern block_cache g_bc;

using cache_guard = std::lock_guard<std::recursive_mutex>;
// The cache lock: made on first use and never destroyed, so that worker threads still running
// when a host exits without a stop never meet a freed lock.
std::recursive_mutex& bc_lock();

// Resets the whole record for a disk of size bytes (rounded down to 2 MiB) over the open
// image img, which stays the caller's and must outlive the cache (until bc_destroy).
void bc_init(image* img, uint64_t size);
// 0, -5 when offset + len is beyond capacity, -1 when a chunk could not be had.
int bc_read(uint64_t offset, void* buf, uint32_t len);
// 0 when every byte went into the cache; -5 beyond capacity (nothing written); -1 when a
// chunk could not be had (no memory, a failed load, or a dirty victim that could not be
// written back): pieces before it stay written.
int bc_write(uint64_t offset, const void* buf, uint32_t len);
// The slot now holding chunk, filled as fill (k_fill_*) says; nullptr when no slot can be had
// or the load failed.
bc_slot* bc_get_slot_locked(uint32_t chunk, int fill);
// Writes every dirty chunk back in slot order: 0, or -10 at the first failure. A chunk that a
// write stream has only partly filled gets its tail loaded first; a failed tail load fails
// the write-back and leaves the chunk dirty and partial.
int bc_flush_locked();
// The background pass: as bc_flush_locked, but the chunk a write stream is still filling is
// left for the next pass when the stream has moved since the last one.
int bc_flush_background_locked();
// An explicit flush: every dirty chunk written back, then the image synced to its disk, so
// that what it acknowledges survives the server's crash. 0, or -10.
int bc_sync_locked();
// Final write-back and sync, then frees every buffer. Returns how many dirty chunks could
// not be written back (their data is gone); when only the sync failed, at least 1.
uint32_t bc_destroy();
// Valid and dirty slots, read without the lock.
uint32_t bc_dirty_count();

// The counters the statistics report, read without the lock.
struct bc_counters {
    uint64_t capacity = 0;
    uint64_t cache_hits = 0;
    uint64_t cache_misses = 0;
    uint64_t sftp_bytes_r = 0;
    uint64_t sftp_bytes_w = 0;
};
bc_counters bc_stats();
