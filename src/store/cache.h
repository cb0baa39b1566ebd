// The write-back block cache: up to 128 chunks of 2 MiB between the target and the image.
#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>

struct image;

constexpr uint32_t k_chunk_size = 2097152; // 2 MiB; chunk n covers bytes n*2MiB .. (n+1)*2MiB-1
constexpr uint32_t k_chunk_shift = 21;
constexpr uint32_t k_slot_max = 128;
constexpr uint32_t k_block_size = 512;
constexpr uint64_t k_no_stream = ~uint64_t{0};

// A slot is loaded and written back by granules of 4 KiB, the page size and the cluster size
// of the file systems put on these disks: most commands are whole granules, so a cold 4 KiB
// read moves 4 KiB and an aligned 4 KiB write loads nothing and writes back 4 KiB. A larger
// granule would only add transfer time on a slow link (64 KiB takes 26 ms at 20 Mbit/s, more
// than a round trip), and streams load whole chunks anyway.
constexpr uint32_t k_granule_size = 4096;
constexpr uint32_t k_granule_shift = 12;
constexpr uint32_t k_granules = k_chunk_size / k_granule_size; // 512 per slot

using granule_set = std::bitset<k_granules>;

// What a slot's transfer in flight is doing (the cache lock is released meanwhile).
enum class slot_busy : uint8_t { idle, loading, writing_back };

struct bc_slot {
    std::atomic<int32_t> valid{0}; // holds a chunk; read by the statistics without the lock
    uint32_t chunk_index = 0;
    std::atomic<int32_t> dirty{0}; // some granule not written back yet; likewise
    uint64_t last_use = 0;
    uint8_t* data = nullptr; // 2 MiB, owned by the cache
    granule_set loaded;      // granules holding the image's bytes, or newer ones
    granule_set written;     // granules not yet written back: always loaded ones too
    granule_set unsynced;    // written back since the last sync of the image: maybe not on disk
    slot_busy busy = slot_busy::idle;
    bool busy_direct = false;          // the load in flight fills the buffer itself
    uint32_t busy_lo = 0, busy_hi = 0; // granules [lo, hi) of the transfer in flight
    uint32_t failed_write_backs = 0;   // lets a flush tell that a write-back it awaited failed
    uint64_t claimed = 0;              // when the slot last took a chunk: tells reuses apart
};

struct block_cache {
    uint64_t capacity = 0;    // bytes served: the start size rounded down to 2 MiB
    uint64_t block_count = 0; // capacity / 512
    std::array<bc_slot, k_slot_max> slots;
    std::atomic<uint32_t> slot_count{0};
    uint64_t use_clock = 0;
    uint64_t claims = 0;
    uint64_t read_end = k_no_stream;   // where the last read ended
    uint64_t stream_end = k_no_stream; // where the last write ended
    bool streaming = false;            // the last write continued the one before
    uint64_t spared_end = k_no_stream; // stream_end when the background pass last spared it
    // Commands waiting for a transfer or making their own; written under the cache lock.
    std::atomic<uint32_t> commands_waiting{0};
    bool live = false;    // from bc_init to bc_destroy
    image* img = nullptr; // what the chunks are loaded from and written to
    std::atomic<uint64_t> cache_hits{0};
    std::atomic<uint64_t> cache_misses{0};
    std::atomic<uint64_t> sftp_bytes_r{0}; // bytes really loaded from the image
    std::atomic<uint64_t> sftp_bytes_w{0}; // bytes really written to it
    std::atomic<uint64_t> busy_waits{0};   // times a command waited for another's transfer
    // Slots reused while they held unsynced granules, and how many of those a sync covered:
    // a reconnection before the next sync cannot make them dirty again.
    uint64_t unsynced_evictions = 0;
    uint64_t unsynced_evictions_synced = 0;
    bool next_sync_fails = false; // such data may be gone with the old link: say so once
};

extern block_cache g_bc;

// Every routine below takes the cache lock itself and releases it for the image transfers.
// Resets the whole record for a disk of size bytes (rounded down to 2 MiB) over the open
// image img, which stays the caller's and must outlive the cache (until bc_destroy).
void bc_init(image* img, uint64_t size);
// 0, -5 when offset + len is beyond capacity, -1 when a chunk could not be had or the image
// could not be read.
int bc_read(uint64_t offset, void* buf, uint32_t len);
// 0 when every byte went into the cache; -5 beyond capacity (nothing written); -1 when a
// chunk could not be had (no memory, a failed load of a granule the write covers only in
// part, or a dirty victim that could not be written back): pieces before it stay written.
int bc_write(uint64_t offset, const void* buf, uint32_t len);
// Writes back everything dirty when it starts, waiting for write-backs already in flight:
// 0, or -10 at the first failure (its own or one it waited for). Chunks stay cached.
int bc_flush();
// The background pass: as bc_flush, but it leaves the chunk a write stream is still filling
// for the next pass, and starts no transfer while a command waits.
int bc_flush_background();
// An explicit flush: bc_flush, then the image synced to its disk, so that what it
// acknowledges survives the server's crash. 0, or -10. A break of the link under it makes it
// start again on the new link (what went to the old one may not have reached its disk).
int bc_sync();
// The link came back on a new connection (before any transfer uses it): what was written back
// since the last sync may have been lost with the server's memory, so what is still cached of
// it is dirty again, and when some of it is no longer cached the next sync fails once.
void bc_link_restored();
// Final write-back and sync, then frees every buffer; no other thread may use the cache any
// more. Returns how many dirty chunks could not be written back (their data is gone); when
// only the sync failed, at least 1.
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
