// The block cache against a plain in-memory model of the disk: a seeded random sequence of
// reads, writes (aligned, unaligned, whole chunks and sequential streams), write-backs and
// replacements over an image a little larger than the cache, with the image's file system
// running full and the image becoming unreadable now and then. Slots go through every state:
// partly loaded, partly dirty, and (in the concurrent run, where threads share chunks) busy
// with a transfer while others use them. Whatever the cache acknowledged must read back and,
// after the final write-back, be in the image file.
//
// CI runs a short sequence with a fixed seed. A long run:
//   NORVALED_MODEL_STEPS=20000 NORVALED_MODEL_SEED=7 build/tests/test_cache_model
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/cache.h"
#include "store/sftp.h"
#include "support/cache_helpers.h"
#include "support/temp_dir.h"

namespace {

constexpr uint64_t k_chunk = k_chunk_size;
// Under twice the cache: replacements are common, and a stream often enters a chunk not cached.
constexpr uint64_t k_chunks = k_slot_max * 3 / 2;
constexpr uint64_t k_size = k_chunks * k_chunk;

// The sequence runs on one thread, so ThreadSanitizer has nothing to find there; it only makes
// the steps slow. The concurrent run is the one for it.
#if defined(__SANITIZE_THREAD__)
constexpr uint64_t k_default_steps = 100;
constexpr uint64_t k_default_thread_steps = 150;
#else
constexpr uint64_t k_default_steps = 300;
constexpr uint64_t k_default_thread_steps = 400;
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
        const int r = background ? bc_flush_background() : bc_flush();
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
        note_slot_states();
    }

    // Slots holding only some of their chunk, or with only some of it written.
    void note_slot_states() {
        for (uint32_t i = 0; i < g_bc.slot_count.load(); ++i) {
            const bc_slot& s = g_bc.slots[i];
            seen_partly_loaded_ = seen_partly_loaded_ || (s.loaded.any() && !s.loaded.all());
            seen_partly_dirty_ = seen_partly_dirty_ || (s.written.any() && !s.written.all());
        }
    }

    tmpfs_dir fs_;
    std::string path_;
    std::vector<uint8_t> model_;
    std::mt19937_64 rng_;
    uint64_t stream_next_ = 0;
    bool full_ = false;
    bool unreadable_ = false;
    bool open_ = false;
    bool seen_partly_loaded_ = false;
    bool seen_partly_dirty_ = false;

    void expect_image_matches_model_after_stop() {
        EXPECT_EQ(close_mock_cache(), 0u);
        open_ = false;
        const std::vector<uint8_t> image = read_at(path_, 0, k_size);
        ASSERT_EQ(image.size(), k_size);
        for (uint64_t c = 0; c < k_chunks; ++c)
            ASSERT_TRUE(std::equal(image.begin() + c * k_chunk, image.begin() + (c + 1) * k_chunk,
                                   model_.begin() + c * k_chunk))
                << "chunk " << c << " of the image differs from the model after the stop";
    }
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
    EXPECT_TRUE(seen_partly_loaded_) << "no slot ever held only part of its chunk";
    EXPECT_TRUE(seen_partly_dirty_) << "no slot ever had only part of its chunk written";
    expect_image_matches_model_after_stop();
}

namespace {

// Each worker of the concurrent run owns every third stripe of 64 KiB, so that the workers
// share every chunk (and wait for each other's transfers) but never a byte: each checks its
// own bytes of the one model. A failure of the image may be injected while an operation
// runs; it may then fail, but never return or keep wrong data.
constexpr uint64_t k_stripe = 65536;
constexpr uint64_t k_workers = 3;

struct failure_window {
    std::atomic<uint64_t> toggles{0}; // odd while a failure is injected
    uint64_t begin() const { return toggles.load(); }
    bool touched(uint64_t since) const { return since % 2 == 1 || toggles.load() != since; }
};

} // namespace

TEST_F(CacheModel, ConcurrentWorkersFlushesAndFailuresMatchTheModel) {
    const uint64_t steps = env_number("NORVALED_MODEL_THREAD_STEPS", k_default_thread_steps);
    const uint64_t seed = env_number("NORVALED_MODEL_SEED", 14);
    failure_window failures;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bad_flushes{0};

    // First, in a fixed order: with the link held, a miss keeps its slot busy in the middle of
    // its load; a second read of the same bytes waits for it, while a read of a cached chunk
    // is served at once.
    std::vector<uint8_t> cached(4096), first(4096), second(4096);
    ASSERT_EQ(bc_read(0, cached.data(), 4096), 0);
    std::thread loader, follower;
    {
        link_guard link;
        loader = std::thread([&] { EXPECT_EQ(bc_read(3 * k_chunk, first.data(), 4096), 0); });
        while (g_bc.commands_waiting.load() == 0)
            std::this_thread::yield();
        follower = std::thread([&] { EXPECT_EQ(bc_read(3 * k_chunk, second.data(), 4096), 0); });
        while (g_bc.busy_waits.load() == 0)
            std::this_thread::yield();
        ASSERT_EQ(bc_read(4096, cached.data(), 4096), 0);
        EXPECT_TRUE(std::equal(cached.begin(), cached.end(), model_.begin() + 4096));
    }
    loader.join();
    follower.join();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), model_.begin() + 3 * k_chunk));
    EXPECT_EQ(first, second);

    auto worker = [&](uint64_t id) {
        std::mt19937_64 rng(seed * 31 + id);
        for (uint64_t i = 0; i < steps && !::testing::Test::HasFailure(); ++i) {
            const uint64_t stripe = (rng() % (k_size / k_stripe / k_workers)) * k_workers + id;
            const uint64_t kind = rng() % 4;
            // A read from the start of the stripe (a chunk start now and then, which loads
            // the whole chunk, others' granules included), or a random place in it.
            const uint64_t at = stripe * k_stripe + (kind == 0 ? 0 : rng() % k_stripe);
            const auto len = static_cast<uint32_t>(1 + rng() % (stripe * k_stripe + k_stripe - at));
            const uint64_t since = failures.begin();
            std::vector<uint8_t> buf(len);
            if (kind < 2) {
                if (bc_read(at, buf.data(), len) != 0) {
                    EXPECT_TRUE(failures.touched(since)) << "read " << at << " failed";
                    continue;
                }
                EXPECT_TRUE(std::equal(buf.begin(), buf.end(), model_.begin() + at))
                    << "read " << at << "+" << len << " differs from the model";
                continue;
            }
            for (auto& b : buf)
                b = static_cast<uint8_t>(rng());
            if (bc_write(at, buf.data(), len) == 0) {
                std::copy(buf.begin(), buf.end(), model_.begin() + at);
                continue;
            }
            EXPECT_TRUE(failures.touched(since)) << "write " << at << " failed";
            // Within one stripe there is one chunk piece, and a failed piece is not applied.
            std::vector<uint8_t> got(len);
            if (bc_read(at, got.data(), len) == 0) {
                EXPECT_TRUE(std::equal(got.begin(), got.end(), model_.begin() + at))
                    << "a failed write " << at << "+" << len << " changed the data";
            }
        }
    };
    std::thread background([&] {
        while (!stop.load()) {
            const uint64_t since = failures.begin();
            if (bc_flush_background() != 0 && !failures.touched(since)) ++bad_flushes;
        }
    });
    std::vector<std::thread> workers;
    for (uint64_t id = 0; id < k_workers; ++id)
        workers.emplace_back(worker, id);
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 12; ++round) {
        const uint64_t since = failures.begin();
        if (bc_flush() != 0 && !failures.touched(since)) ++bad_flushes;
        if (round % 4 == 1) {
            failures.toggles.fetch_add(1);
            if (rng() % 2 == 0)
                toggle_full();
            else
                toggle_unreadable();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (full_) toggle_full();
            if (unreadable_) toggle_unreadable();
            failures.toggles.fetch_add(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    for (auto& t : workers)
        t.join();
    stop = true;
    background.join();
    EXPECT_EQ(bad_flushes.load(), 0u);
    ASSERT_EQ(bc_flush(), 0);
    check_file_sample();
    expect_image_matches_model_after_stop();
}
