// The block cache against a plain in-memory model of the disk: a seeded random sequence of
// reads, writes (aligned, unaligned, whole chunks and sequential streams), write-backs and
// replacements over an image a little larger than the cache, with the image's file system
// running full and the image becoming unreadable now and then. Whatever the cache
// acknowledged must read back and, after the final write-back, be in the image file.
//
// CI runs a short sequence with a fixed seed. A long run:
//   NORVALED_MODEL_STEPS=20000 NORVALED_MODEL_SEED=7 build/tests/test_cache_model
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/cache.h"
#include "support/cache_helpers.h"
#include "support/temp_dir.h"

namespace {

constexpr uint64_t k_chunk = k_chunk_size;
// Under twice the cache: replacements are common, and a stream often enters a chunk not cached.
constexpr uint64_t k_chunks = k_slot_max * 3 / 2;
constexpr uint64_t k_size = k_chunks * k_chunk;

// The sequence runs on one thread, so ThreadSanitizer has nothing to find; it only makes the
// steps slow.
#if defined(__SANITIZE_THREAD__)
constexpr uint64_t k_default_steps = 100;
#else
constexpr uint64_t k_default_steps = 300;
#endif

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

class CacheModel : public ::testing::Test {
  protected:
    CacheModel() : fs_(k_size + (16ull << 20)) {}

    void SetUp() override {
        ASSERT_TRUE(fs_.ok()) << "cannot mount a tmpfs (needs root)";
        path_ = fs_.file("model.img");
        // Every third chunk holds data and has its pages; the others are holes, which take
        // space only when written back, so a full file system fails exactly those.
        model_.assign(k_size, 0);
        ASSERT_TRUE(create_sparse_file(path_, k_size));
        for (uint64_t c = 0; c < k_chunks; c += 3) {
            const std::vector<uint8_t> data = pattern(c * k_chunk, k_chunk, 5);
            ASSERT_TRUE(write_at(path_, c * k_chunk, data));
            std::copy(data.begin(), data.end(), model_.begin() + c * k_chunk);
        }
        ASSERT_TRUE(open_mock_cache(path_, k_size));
        open_ = true;
    }
    void TearDown() override {
        if (open_) close_mock_cache();
        fs_.unfill();
    }

    bool failing() const { return full_ || unreadable_; }

    // Around where the last stream stopped, often just past it: the chunk it was filling
    // holds only its leading bytes there.
    uint64_t offset_near_stream() {
        if (rng_() % 2 == 0) return std::min(stream_next_ + rng_() % 262144, k_size - 1);
        const uint64_t base = stream_next_ >= k_chunk ? stream_next_ - k_chunk : 0;
        return std::min(base + rng_() % (3 * k_chunk), k_size - 1);
    }
    uint64_t random_offset(uint32_t align) {
        const uint64_t at = rng_() % 3 == 0 ? offset_near_stream() : rng_() % k_size;
        return at / align * align;
    }
    uint32_t fit(uint64_t offset, uint64_t len) const {
        return static_cast<uint32_t>(std::min<uint64_t>(len, k_size - offset));
    }

    // Reads through the cache and compares with the model. Without injected failures every
    // read must succeed; with them a read may fail, but never return wrong data.
    void check_read(uint64_t offset, uint32_t len) {
        std::vector<uint8_t> got(len);
        const int r = bc_read(offset, got.data(), len);
        if (r != 0) {
            ASSERT_TRUE(failing()) << "read " << offset << "+" << len << " failed: " << r;
            return;
        }
        const auto want = model_.begin() + static_cast<std::ptrdiff_t>(offset);
        ASSERT_TRUE(std::equal(got.begin(), got.end(), want))
            << "read " << offset << "+" << len << " differs from the model";
    }

    void write(uint64_t offset, uint32_t len) {
        std::vector<uint8_t> data(len);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng_());
        const int r = bc_write(offset, data.data(), len);
        if (r == 0) {
            std::copy(data.begin(), data.end(), model_.begin() + offset);
            return;
        }
        ASSERT_TRUE(failing()) << "write " << offset << "+" << len << " failed: " << r;
        ASSERT_EQ(r, -1);
        learn_applied_pieces(offset, data);
    }

    // A failed write keeps the chunk pieces before the one that could not be had. Each piece
    // must read back whole as the new data or as the old, and the new ones come first.
    void learn_applied_pieces(uint64_t offset, const std::vector<uint8_t>& data) {
        uint64_t done = 0;
        bool applied = true;
        while (done < data.size()) {
            const uint64_t p = offset + done;
            const uint64_t n = std::min<uint64_t>(data.size() - done, k_chunk - p % k_chunk);
            std::vector<uint8_t> got(n);
            const auto fresh = data.begin() + static_cast<std::ptrdiff_t>(done);
            const auto old = model_.begin() + static_cast<std::ptrdiff_t>(p);
            if (bc_read(p, got.data(), static_cast<uint32_t>(n)) == 0) {
                const bool is_new = std::equal(got.begin(), got.end(), fresh);
                ASSERT_TRUE(is_new || std::equal(got.begin(), got.end(), old))
                    << "piece " << p << "+" << n << " of a failed write is neither old nor new";
                ASSERT_FALSE(is_new && !applied) << "piece " << p << " applied after a failed one";
                applied = applied && is_new;
            } else {
                applied = false;
            }
            if (applied) std::copy(fresh, fresh + static_cast<std::ptrdiff_t>(n), old);
            done += n;
        }
    }

    static bool cached(uint64_t chunk) {
        for (uint32_t i = 0; i < g_bc.slot_count.load(); ++i)
            if (g_bc.slots[i].valid.load() && g_bc.slots[i].chunk_index == chunk) return true;
        return false;
    }

    // A run of consecutive writes, as an initiator streaming a file: it continues the last
    // stream or starts a new one, which stops anywhere.
    void stream() {
        if (rng_() % 2 == 0 || stream_next_ >= k_size) {
            // Mostly into a chunk that is not cached: only there can a stream skip the load.
            uint64_t c = rng_() % (k_chunks - 1);
            for (int tries = 0; tries < 8 && cached(c + 1); ++tries)
                c = rng_() % (k_chunks - 1);
            stream_next_ = c * k_chunk + (rng_() % 4096) * 512;
        }
        static constexpr uint32_t sizes[] = {65536, 262144, 1048576, 98304};
        const uint32_t size = sizes[rng_() % 4];
        for (uint64_t i = 1 + rng_() % 16; i > 0 && stream_next_ < k_size; --i) {
            const uint32_t n = fit(stream_next_, size);
            write(stream_next_, n);
            if (::testing::Test::HasFatalFailure()) return;
            stream_next_ += n;
        }
    }

    void flush(bool background) {
        int r = 0;
        {
            cache_guard hold(bc_lock());
            r = background ? bc_flush_background_locked() : bc_flush_locked();
        }
        if (failing()) {
            ASSERT_TRUE(r == 0 || r == -10) << r;
            return;
        }
        ASSERT_EQ(r, 0);
        // The background pass may leave only the chunk a stream is filling.
        ASSERT_LE(bc_dirty_count(), background ? 1u : 0u);
        if (!background) check_file_sample();
    }

    // After a complete write-back the file holds the model; a few chunks are compared.
    void check_file_sample() {
        for (int i = 0; i < 4; ++i) {
            const uint64_t c = rng_() % k_chunks;
            const std::vector<uint8_t> got = read_at(path_, c * k_chunk, k_chunk);
            ASSERT_TRUE(std::equal(got.begin(), got.end(), model_.begin() + c * k_chunk) &&
                        got.size() == k_chunk)
                << "chunk " << c << " of the image differs after a write-back";
        }
    }

    void toggle_full() {
        full_ = !full_;
        if (full_)
            ASSERT_TRUE(fs_.fill());
        else
            fs_.unfill();
    }

    void toggle_unreadable() {
        unreadable_ = !unreadable_;
        cache_guard hold(bc_lock());
        ASSERT_TRUE(unreadable_ ? make_mock_image_unreadable(path_)
                                : make_mock_image_readable(path_));
    }

    void step() {
        const uint64_t kind = rng_() % 100;
        if (kind < 15) {
            const uint64_t at = random_offset(512);
            check_read(at, fit(at, (1 + rng_() % 512) * 512));
        } else if (kind < 25) {
            const uint64_t at = random_offset(1);
            check_read(at, fit(at, 1 + rng_() % (3 * k_chunk)));
        } else if (kind < 37) {
            const uint64_t at = random_offset(512);
            write(at, fit(at, (1 + rng_() % 512) * 512));
        } else if (kind < 45) {
            const uint64_t at = random_offset(1);
            write(at, fit(at, 1 + rng_() % (3 * k_chunk)));
        } else if (kind < 49) {
            write(rng_() % k_chunks * k_chunk, k_chunk_size);
        } else if (kind < 71) {
            stream();
        } else if (kind < 77) {
            // Touches many chunks: with the cache full, each replaces the oldest.
            for (int i = 0; i < 48; ++i)
                check_read(rng_() % k_size, 1);
        } else if (kind < 84) {
            flush(false);
        } else if (kind < 92) {
            flush(true);
        } else if (kind < 96) {
            toggle_full();
        } else {
            toggle_unreadable();
        }
        if (::testing::Test::HasFatalFailure()) return;
        // And a look at a random place, near the stream more often than not.
        const uint64_t at = random_offset(1);
        check_read(at, fit(at, 1 + rng_() % 65536));
    }

    tmpfs_dir fs_;
    std::string path_;
    std::vector<uint8_t> model_;
    std::mt19937_64 rng_;
    uint64_t stream_next_ = 0;
    bool full_ = false;
    bool unreadable_ = false;
    bool open_ = false;
};

} // namespace

TEST_F(CacheModel, RandomSequenceMatchesThePlainModel) {
    const uint64_t steps = env_number("NORVALED_MODEL_STEPS", k_default_steps);
    const uint64_t seed = env_number("NORVALED_MODEL_SEED", 14);
    rng_.seed(seed);
    for (uint64_t i = 0; i < steps; ++i) {
        step();
        ASSERT_FALSE(HasFatalFailure()) << "at step " << i << " of seed " << seed;
    }
    if (full_) toggle_full();
    if (unreadable_) toggle_unreadable();
    EXPECT_EQ(g_bc.slot_count.load(), k_slot_max) << "the sequence never filled the cache";
    EXPECT_NE(g_bc.sftp_bytes_r.load() % k_chunk, 0u) << "the sequence never loaded a tail";
    EXPECT_EQ(close_mock_cache(), 0u);
    open_ = false;
    const std::vector<uint8_t> image = read_at(path_, 0, k_size);
    ASSERT_EQ(image.size(), k_size);
    for (uint64_t c = 0; c < k_chunks; ++c)
        ASSERT_TRUE(std::equal(image.begin() + c * k_chunk, image.begin() + (c + 1) * k_chunk,
                               model_.begin() + c * k_chunk))
            << "chunk " << c << " of the image differs from the model after the stop";
}
