// The block cache driven through its own routines over a local mock image: counters, chunk
// spans, which granules loads and write-backs move, replacement of the least recently used
// chunk, and write-backs that fail because the file system is really full.
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
    int flush() { return bc_flush(); }
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

TEST_F(Cache, ReadsLoadTheirGranulesAndStreamsTheRestOfTheChunk) {
    constexpr uint64_t g = k_granule_size;
    // A lone read loads only the granules it touches; a piece served from what its slot
    // held is a hit, any other a miss.
    expect_pattern(1000, 512);
    EXPECT_EQ(now(), (counters{0, 1, g, 0}));
    expect_pattern(1200, 100);
    EXPECT_EQ(now(), (counters{1, 1, g, 0}));
    expect_pattern(5000, 4000); // granules 1 and 2, in one transfer
    EXPECT_EQ(now(), (counters{1, 2, 3 * g, 0}));
    // Continuing the last read into what is missing is a stream: the rest of the chunk
    // comes in one transfer.
    expect_pattern(9000, 4000);
    EXPECT_EQ(now(), (counters{1, 3, k_chunk, 0}));
    // Across the end of chunk 0 into chunk 1, which it starts: chunk 1 loads whole.
    expect_pattern(k_chunk - 256, 512);
    EXPECT_EQ(now(), (counters{2, 4, 2 * k_chunk, 0}));
    // Three chunks in one call (the middle one whole): two cached, one new.
    expect_pattern(k_chunk - 1, k_chunk_size + 2);
    EXPECT_EQ(now(), (counters{4, 5, 3 * k_chunk, 0}));
    EXPECT_EQ(g_bc.slot_count.load(), 3u);
    // A read over loaded and missing granules fetches them in one transfer and keeps the
    // loaded ones.
    expect_pattern(3 * k_chunk + 10 * g, 512);
    expect_pattern(3 * k_chunk + 12 * g, 512);
    expect_pattern(3 * k_chunk + 9 * g, 5 * g);
    EXPECT_EQ(now().bytes_r, 3 * k_chunk + 7 * g);
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

TEST_F(Cache, WritesLoadOnlyGranulesTheyCoverInPartAndWriteBackOnlyWhatChanged) {
    constexpr uint64_t g = k_granule_size;
    const std::vector<uint8_t> piece(8000, 0xD7);
    // Whole granules load nothing; a part of one loads that granule first.
    ASSERT_EQ(bc_write(k_chunk + 4 * g, piece.data(), 4096), 0);
    EXPECT_EQ(now(), (counters{0, 1, 0, 0}));
    ASSERT_EQ(bc_write(k_chunk + 6 * g + 100, piece.data(), 512), 0);
    EXPECT_EQ(now(), (counters{0, 2, g, 0}));
    // Head and tail granules of one unaligned write come in one transfer.
    ASSERT_EQ(bc_write(k_chunk + 20 * g + 100, piece.data(), 8000), 0);
    EXPECT_EQ(now(), (counters{0, 3, 3 * g, 0}));
    // A whole chunk loads nothing, and neither does an aligned write across two chunks.
    const std::vector<uint8_t> whole(k_chunk, 0x3C);
    ASSERT_EQ(bc_write(2 * k_chunk, whole.data(), k_chunk_size), 0);
    ASSERT_EQ(bc_write(2 * k_chunk + k_chunk / 2, whole.data(), k_chunk_size), 0);
    EXPECT_EQ(now().bytes_r, 3 * g);
    EXPECT_EQ(bc_dirty_count(), 3u);
    // Nothing reaches the file before a write-back.
    EXPECT_EQ(read_at(path_, k_chunk + 4 * g, 512), pattern(k_chunk + 4 * g, 512, k_seed));

    // Only the changed granules (4, 6, 20 and 21) and the written chunks are sent; granule 5
    // was never loaded, so 4 and 6 go out as two runs.
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_w, 4 * g + k_chunk + k_chunk / 2);
    EXPECT_EQ(now().bytes_r, 3 * g);
    std::vector<uint8_t> expect = pattern(k_chunk, k_chunk, k_seed);
    std::memcpy(expect.data() + 4 * g, piece.data(), 4096);
    std::memcpy(expect.data() + 6 * g + 100, piece.data(), 512);
    std::memcpy(expect.data() + 20 * g + 100, piece.data(), 8000);
    EXPECT_TRUE(read_at(path_, k_chunk, k_chunk) == expect);
    EXPECT_TRUE(read_at(path_, 2 * k_chunk + k_chunk / 2, k_chunk) == whole);
    EXPECT_TRUE(read_at(path_, 2 * k_chunk, k_chunk / 2) ==
                std::vector<uint8_t>(whole.begin(), whole.begin() + k_chunk / 2));
    expect_pattern(3 * k_chunk + k_chunk / 2, 4096); // the half never written: the image's

    // Still cached, and clean: a second flush writes nothing. Close dirty granules with
    // loaded ones between them go out as one run.
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_w, 4 * g + k_chunk + k_chunk / 2);
    ASSERT_EQ(bc_write(k_chunk + 20 * g, piece.data(), 512), 0);
    ASSERT_EQ(bc_write(k_chunk + 22 * g, piece.data(), 512), 0);
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_w, 7 * g + k_chunk + k_chunk / 2);
}

TEST_F(Cache, SequentialWritesLoadNothingAndReadsFetchOnlyWhatTheyLack) {
    constexpr uint64_t g = k_granule_size;
    // 1 MiB writes from offset 0 over chunks 0..2 and a quarter of chunk 3.
    const std::vector<uint8_t> mib = pattern(0, k_chunk / 2, 3);
    for (uint64_t at = 0; at < 3 * k_chunk; at += k_chunk / 2)
        ASSERT_EQ(bc_write(at, mib.data(), k_chunk_size / 2), 0);
    ASSERT_EQ(bc_write(3 * k_chunk, mib.data(), k_chunk_size / 4), 0);
    EXPECT_EQ(now(), (counters{3, 4, 0, 0}));
    // A read inside what it wrote needs nothing; one touching the rest loads the granules
    // it lacks; one continuing it loads the rest of the chunk.
    std::vector<uint8_t> got(1024);
    ASSERT_EQ(bc_read(3 * k_chunk + 1024, got.data(), 1024), 0);
    EXPECT_EQ(now().bytes_r, 0u);
    ASSERT_EQ(bc_read(3 * k_chunk + k_chunk / 4 - 512, got.data(), 1024), 0);
    EXPECT_EQ(now().bytes_r, g);
    std::vector<uint8_t> expect = pattern(3 * k_chunk + k_chunk / 4 - 512, 1024, k_seed);
    std::memcpy(expect.data(), mib.data() + k_chunk / 4 - 512, 512);
    EXPECT_EQ(got, expect);
    // A write-back sends what was written, never a tail.
    ASSERT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_w, 3 * k_chunk + k_chunk / 4);
    EXPECT_EQ(read_at(path_, 3 * k_chunk + k_chunk / 4, 4096),
              pattern(3 * k_chunk + k_chunk / 4, 4096, k_seed));
    expect_pattern(3 * k_chunk + k_chunk / 4 + 512, 8192);
    EXPECT_EQ(now().bytes_r, 3 * k_chunk / 4);
}

TEST_F(Cache, FailedLoadsServeAndWriteBackOnlyWhatIsHeld) {
    constexpr uint64_t g = k_granule_size;
    const std::vector<uint8_t> piece(2 * g, 0x4B);
    ASSERT_EQ(bc_write(2 * k_chunk, piece.data(), 2 * g), 0); // two granules, nothing loaded
    ASSERT_TRUE(make_mock_image_unreadable(path_));
    std::vector<uint8_t> got(512);
    EXPECT_EQ(bc_read(2 * k_chunk + 8192, got.data(), 512), -1);
    EXPECT_EQ(bc_write(2 * k_chunk + 65536 + 100, got.data(), 512), -1); // part of a granule
    EXPECT_EQ(bc_read(5 * k_chunk, got.data(), 512), -1);
    EXPECT_EQ(now().bytes_r, 0u);
    // Bytes it does hold are served, and go out without anything loaded.
    ASSERT_EQ(bc_read(2 * k_chunk + 100, got.data(), 512), 0);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), piece.begin()));
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(now().bytes_w, 2 * g);
    EXPECT_EQ(bc_dirty_count(), 0u);
    ASSERT_TRUE(make_mock_image_readable(path_));
    std::vector<uint8_t> expect = pattern(2 * k_chunk, k_chunk, k_seed);
    std::memcpy(expect.data(), piece.data(), piece.size());
    EXPECT_TRUE(read_at(path_, 2 * k_chunk, k_chunk) == expect);
    expect_pattern(2 * k_chunk + 2 * g, 512); // a later attempt loads what failed
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
    EXPECT_EQ(now().bytes_w, k_granule_size);
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
    EXPECT_EQ(now().bytes_w, k_granule_size);
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
    EXPECT_EQ(now().bytes_w, 3 * k_granule_size);
    for (uint64_t c : {0, 1, 2})
        EXPECT_EQ(read_at(path_, c * k_chunk, 512), piece) << c;
}
