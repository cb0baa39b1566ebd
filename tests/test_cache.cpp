// The block cache driven through its own routines over a local mock image: counters, chunk
// spans, read-before-write, replacement of the least recently used chunk, and write-backs
// that fail because the file system is really full.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "norvaled.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/image.h"
#include "support/cache_helpers.h"
#include "support/temp_dir.h"

namespace {

constexpr uint64_t k_chunk = k_chunk_size;
constexpr uint32_t k_seed = 21;

struct counters {
    uint64_t hits, misses, bytes_r, bytes_w;
    bool operator==(const counters& o) const {
        return hits == o.hits && misses == o.misses && bytes_r == o.bytes_r && bytes_w == o.bytes_w;
    }
};

std::ostream& operator<<(std::ostream& os, const counters& c) {
    return os << "{hits " << c.hits << ", misses " << c.misses << ", read " << c.bytes_r
              << ", written " << c.bytes_w << "}";
}

counters now() {
    return {g_bc.cache_hits.load(), g_bc.cache_misses.load(), g_bc.sftp_bytes_r.load(),
            g_bc.sftp_bytes_w.load()};
}

// A mock image whose first chunks hold a pattern, opened and cached as the start does it,
// but without the target's threads, so that every counter moves only by what the test does.
class Cache : public ::testing::Test {
  protected:
    void open_cache(const std::string& dir, uint64_t size, uint64_t filled_chunks = 4) {
        path_ = dir + "/cache.img";
        ASSERT_TRUE(create_sparse_file(path_, size));
        ASSERT_TRUE(write_at(path_, 0, pattern(0, filled_chunks * k_chunk, k_seed)));
        ASSERT_TRUE(open_mock_cache(path_, size));
        open_ = true;
    }
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        open_cache(dir_.path(), 64ull << 20);
    }
    void TearDown() override { close_cache(); }
    void close_cache() {
        if (!open_) return;
        close_mock_cache();
        open_ = false;
    }
    int flush() {
        cache_guard hold(bc_lock());
        return bc_flush_locked();
    }
    // Reads len bytes at offset through the cache and compares them with the file's pattern.
    void expect_pattern(uint64_t offset, uint32_t len) {
        std::vector<uint8_t> got(len);
        ASSERT_EQ(bc_read(offset, got.data(), len), 0);
        EXPECT_TRUE(got == pattern(offset, len, k_seed)) << "at " << offset;
    }

    scoped_dir dir_;
    std::string path_;
    bool open_ = false;
};

// Chunks 0..n-1 of a fresh cache read once each (with chunk 0 written first): the cache is
// full and chunk 0, dirty, is the least recently used.
void fill_all_slots_behind_dirty_chunk0(const std::vector<uint8_t>& piece) {
    ASSERT_EQ(bc_write(100, piece.data(), static_cast<uint32_t>(piece.size())), 0);
    std::vector<uint8_t> buf(512);
    for (uint64_t c = 1; c < k_slot_max; ++c)
        ASSERT_EQ(bc_read(c * k_chunk, buf.data(), 512), 0);
    ASSERT_EQ(g_bc.slot_count.load(), k_slot_max);
}

} // namespace

TEST_F(Cache, CapacityIsTheSizeRoundedDownToAChunk) {
    close_cache();
    scoped_dir other;
    open_cache(other.path(), (64ull << 20) + 1);
    EXPECT_EQ(g_bc.capacity, 67108864u);
    EXPECT_EQ(g_bc.block_count, 131072u);
    close_cache();
    open_cache(other.path(), 100000000);
    EXPECT_EQ(g_bc.capacity, 98566144u);
}

TEST_F(Cache, HitsMissesAndSpans) {
    expect_pattern(1000, 512);
    EXPECT_EQ(now(), (counters{0, 1, k_chunk, 0}));
    expect_pattern(5000, 512);
    EXPECT_EQ(now(), (counters{1, 1, k_chunk, 0}));
    // Across the end of chunk 0: one hit and one miss.
    expect_pattern(k_chunk - 256, 512);
    EXPECT_EQ(now(), (counters{2, 2, 2 * k_chunk, 0}));
    // Three chunks in one call (the middle one whole): two cached, one new.
    expect_pattern(k_chunk - 1, k_chunk_size + 2);
    EXPECT_EQ(now(), (counters{4, 3, 3 * k_chunk, 0}));
    EXPECT_EQ(g_bc.slot_count.load(), 3u);
    EXPECT_EQ(bc_dirty_count(), 0u);
}

TEST_F(Cache, RangeChecksAtCapacity) {
    const uint64_t cap = g_bc.capacity;
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(bc_read(0, buf.data(), 0), 0);
    EXPECT_EQ(bc_read(cap, buf.data(), 0), 0);
    EXPECT_EQ(g_bc.slot_count.load(), 0u);
    EXPECT_EQ(now(), (counters{0, 0, 0, 0}));

    EXPECT_EQ(bc_read(cap - 512, buf.data(), 512), 0);
    const counters after_last = now();
    EXPECT_EQ(bc_read(cap - 511, buf.data(), 512), -5);
    EXPECT_EQ(bc_read(cap, buf.data(), 1), -5);
    EXPECT_EQ(bc_write(cap - 511, buf.data(), 512), -5);
    // Offsets near the top of the 64-bit range must not wrap around the check.
    EXPECT_EQ(bc_read(~0ull - 100, buf.data(), 512), -5);
    EXPECT_EQ(bc_write(~0ull - 100, buf.data(), 512), -5);
    EXPECT_EQ(bc_read(cap - 512, buf.data(), 0xFFFFFFFFu), -5);
    EXPECT_EQ(now(), after_last);
    EXPECT_EQ(bc_dirty_count(), 0u);
    EXPECT_EQ(g_bc.slot_count.load(), 1u);
}

TEST_F(Cache, SmallWriteLoadsTheChunkFirst) {
    const std::vector<uint8_t> piece(512, 0xD7);
    ASSERT_EQ(bc_write(k_chunk + 4096, piece.data(), 512), 0);
    EXPECT_EQ(now(), (counters{0, 1, k_chunk, 0}));
    EXPECT_EQ(bc_dirty_count(), 1u);
    // Nothing reaches the file before a write-back.
    EXPECT_EQ(read_at(path_, k_chunk + 4096, 512), pattern(k_chunk + 4096, 512, k_seed));

    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now(), (counters{0, 1, k_chunk, k_chunk}));
    EXPECT_EQ(bc_dirty_count(), 0u);
    std::vector<uint8_t> expect = pattern(k_chunk, k_chunk, k_seed);
    std::memcpy(expect.data() + 4096, piece.data(), piece.size());
    EXPECT_TRUE(read_at(path_, k_chunk, k_chunk) == expect);
    // Still cached, and clean: a second flush writes nothing.
    std::vector<uint8_t> got(512);
    ASSERT_EQ(bc_read(k_chunk + 4096, got.data(), 512), 0);
    EXPECT_EQ(got, piece);
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now(), (counters{1, 1, k_chunk, k_chunk}));
}

TEST_F(Cache, WholeChunkWritesLoadNothing) {
    const std::vector<uint8_t> whole(k_chunk, 0x3C);
    ASSERT_EQ(bc_write(2 * k_chunk, whole.data(), k_chunk_size), 0);
    EXPECT_EQ(now(), (counters{0, 1, 0, 0}));
    // Two chunks' worth, not aligned: chunk 0 is only partly covered and loaded first; chunk 1
    // continues the same write, so only its tail is loaded, by the write-back.
    ASSERT_EQ(bc_write(k_chunk / 2, whole.data(), k_chunk_size), 0);
    EXPECT_EQ(now(), (counters{0, 3, k_chunk, 0}));
    EXPECT_EQ(bc_dirty_count(), 3u);
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_r, k_chunk + k_chunk / 2);
    EXPECT_TRUE(read_at(path_, 2 * k_chunk, k_chunk) == whole);
    std::vector<uint8_t> expect = pattern(0, 2 * k_chunk, k_seed);
    std::memcpy(expect.data() + k_chunk / 2, whole.data(), k_chunk);
    EXPECT_TRUE(read_at(path_, 0, 2 * k_chunk) == expect);
}

TEST_F(Cache, SequentialWritesReadOnlyTheFirstChunkAndTailsThatAreNeeded) {
    // 1 MiB writes from offset 0 over chunks 0..2: only chunk 0, entered by no stream, loads.
    const std::vector<uint8_t> mib = pattern(0, k_chunk / 2, 3);
    for (uint64_t at = 0; at < 3 * k_chunk; at += k_chunk / 2)
        ASSERT_EQ(bc_write(at, mib.data(), k_chunk_size / 2), 0);
    EXPECT_EQ(now(), (counters{3, 3, k_chunk, 0}));
    // The stream stops a quarter into chunk 3. A read inside what it wrote needs nothing; a
    // read touching the rest loads the tail, counted by its length.
    ASSERT_EQ(bc_write(3 * k_chunk, mib.data(), k_chunk_size / 4), 0);
    std::vector<uint8_t> got(1024);
    ASSERT_EQ(bc_read(3 * k_chunk + 1024, got.data(), 1024), 0);
    EXPECT_EQ(now().bytes_r, k_chunk);
    ASSERT_EQ(bc_read(3 * k_chunk + k_chunk / 4 - 512, got.data(), 1024), 0);
    EXPECT_EQ(now().bytes_r, k_chunk + 3 * k_chunk / 4);
    std::vector<uint8_t> expect = pattern(3 * k_chunk + k_chunk / 4 - 512, 1024, k_seed);
    std::memcpy(expect.data(), mib.data() + k_chunk / 4 - 512, 512);
    EXPECT_EQ(got, expect);
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_w, 4 * k_chunk);
    EXPECT_EQ(read_at(path_, 3 * k_chunk + k_chunk / 4, 4096),
              pattern(3 * k_chunk + k_chunk / 4, 4096, k_seed));
}

TEST_F(Cache, FailedTailLoadKeepsTheStreamedChunkDirtyAndNeverWritesIt) {
    const std::vector<uint8_t> piece(k_chunk / 2, 0x4B);
    ASSERT_EQ(bc_write(0, piece.data(), k_chunk_size / 2), 0);
    ASSERT_EQ(bc_write(k_chunk / 2, piece.data(), k_chunk_size / 2), 0);
    ASSERT_EQ(bc_write(k_chunk, piece.data(), k_chunk_size / 2), 0); // chunk 1: half held
    ASSERT_EQ(flush(), 0); // chunk 1's tail loads (chunk 0 was whole already)
    ASSERT_EQ(bc_write(k_chunk + k_chunk / 2, piece.data(), k_chunk_size / 2), 0);
    ASSERT_EQ(bc_write(2 * k_chunk, piece.data(), 4096), 0); // chunk 2: 4 KiB held
    const counters before = now();
    ASSERT_TRUE(make_mock_image_unreadable(path_));
    std::vector<uint8_t> got(512);
    EXPECT_EQ(bc_read(2 * k_chunk + 8192, got.data(), 512), -1);
    EXPECT_EQ(bc_write(2 * k_chunk + 65536, got.data(), 512), -1); // a gap behind the held bytes
    EXPECT_EQ(flush(), -10);
    EXPECT_EQ(bc_dirty_count(), 1u); // chunk 1 went out; chunk 2 could not
    EXPECT_EQ(now().bytes_r, before.bytes_r);
    EXPECT_EQ(read_at(path_, 2 * k_chunk, 4096), pattern(2 * k_chunk, 4096, k_seed));
    // Bytes it does hold are still served, and a later attempt completes it.
    ASSERT_EQ(bc_read(2 * k_chunk + 100, got.data(), 512), 0);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), piece.begin()));
    ASSERT_TRUE(make_mock_image_readable(path_));
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_r, before.bytes_r + k_chunk - 4096);
    std::vector<uint8_t> expect = pattern(2 * k_chunk, k_chunk, k_seed);
    std::memcpy(expect.data(), piece.data(), 4096);
    EXPECT_TRUE(read_at(path_, 2 * k_chunk, k_chunk) == expect);
}

class CacheFull : public Cache {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        open_cache(dir_.path(), (k_slot_max + 2) * k_chunk);
    }
};

TEST_F(CacheFull, ChunkBeyondTheSlotsReplacesTheLeastRecentlyUsed) {
    std::vector<uint8_t> buf(512);
    for (uint64_t c = 0; c < k_slot_max; ++c)
        ASSERT_EQ(bc_read(c * k_chunk, buf.data(), 512), 0);
    ASSERT_EQ(bc_read(0, buf.data(), 512), 0); // chunk 0 used again: chunk 1 is now the oldest
    ASSERT_EQ(bc_read(k_slot_max * k_chunk, buf.data(), 512), 0);
    EXPECT_EQ(g_bc.slot_count.load(), k_slot_max);
    EXPECT_EQ(now().bytes_w, 0u); // the victim was clean
    const counters before = now();
    ASSERT_EQ(bc_read(0, buf.data(), 512), 0);
    EXPECT_EQ(now().hits, before.hits + 1);
    expect_pattern(k_chunk, 512); // chunk 1 comes back from the image
    EXPECT_EQ(now().misses, before.misses + 1);
}

TEST_F(CacheFull, DirtyVictimIsWrittenBackFirst) {
    const std::vector<uint8_t> piece(700, 0x9B);
    fill_all_slots_behind_dirty_chunk0(piece);
    ASSERT_EQ(now().bytes_w, 0u);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(bc_read(k_slot_max * k_chunk, buf.data(), 512), 0);
    EXPECT_EQ(now().bytes_w, k_chunk);
    EXPECT_EQ(bc_dirty_count(), 0u);
    std::vector<uint8_t> expect = pattern(0, k_chunk, k_seed);
    std::memcpy(expect.data() + 100, piece.data(), piece.size());
    EXPECT_TRUE(read_at(path_, 0, k_chunk) == expect);
    // Chunk 0 was replaced: it is loaded again, with the written bytes.
    const counters before = now();
    std::vector<uint8_t> got(piece.size());
    ASSERT_EQ(bc_read(100, got.data(), static_cast<uint32_t>(got.size())), 0);
    EXPECT_EQ(got, piece);
    EXPECT_EQ(now().misses, before.misses + 1);
}

class CacheOnFullDisk : public Cache {
  protected:
    CacheOnFullDisk() : fs_(16ull << 20) {}
    void SetUp() override {
        ASSERT_TRUE(fs_.ok()) << "cannot mount a tmpfs (needs root)";
        // All holes: the image takes no space until chunks are written back (a chunk that
        // already had its pages would be overwritten in place, full disk or not).
        open_cache(fs_.path(), (k_slot_max + 2) * k_chunk, 0);
    }
    void TearDown() override {
        close_cache();
        fs_.unfill();
    }
    tmpfs_dir fs_;
};

TEST_F(CacheOnFullDisk, FailedWriteBackKeepsTheVictimDirtyAndFailsTheLookup) {
    const std::vector<uint8_t> piece(700, 0x6E);
    fill_all_slots_behind_dirty_chunk0(piece);
    ASSERT_TRUE(fs_.fill());
    std::vector<uint8_t> buf(512, 0x11);
    EXPECT_EQ(bc_read(k_slot_max * k_chunk, buf.data(), 512), -1);
    EXPECT_EQ(bc_write((k_slot_max + 1) * k_chunk, buf.data(), 512), -1); // same victim again
    EXPECT_EQ(now().bytes_w, 0u);
    EXPECT_EQ(bc_dirty_count(), 1u);
    EXPECT_EQ(flush(), -10);
    EXPECT_EQ(bc_dirty_count(), 1u);

    // With space again the same victim goes out first, with its data intact.
    fs_.unfill();
    ASSERT_EQ(bc_read(k_slot_max * k_chunk, buf.data(), 512), 0);
    EXPECT_EQ(now().bytes_w, k_chunk);
    EXPECT_EQ(bc_dirty_count(), 0u);
    std::vector<uint8_t> expect(k_chunk, 0);
    std::memcpy(expect.data() + 100, piece.data(), piece.size());
    EXPECT_TRUE(read_at(path_, 0, k_chunk) == expect);
}

TEST_F(CacheOnFullDisk, FailedFlushStopsAtTheFirstChunkAndLaterSucceeds) {
    const std::vector<uint8_t> piece(512, 0x2D);
    for (uint64_t c : {0, 1, 2})
        ASSERT_EQ(bc_write(c * k_chunk, piece.data(), 512), 0);
    ASSERT_TRUE(fs_.fill());
    EXPECT_EQ(flush(), -10);
    EXPECT_EQ(bc_dirty_count(), 3u);
    EXPECT_EQ(now().bytes_w, 0u);
    fs_.unfill();
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(bc_dirty_count(), 0u);
    EXPECT_EQ(now().bytes_w, 3 * k_chunk);
    for (uint64_t c : {0, 1, 2})
        EXPECT_EQ(read_at(path_, c * k_chunk, 512), piece) << c;
}
