// The library state as a host sees it: version, last-error text and the statistics text.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "norvaled.h"
#include "store/cache.h"
#include "support/library_helpers.h"
#include "support/temp_dir.h"

namespace {

constexpr int64_t k_min_size = 67108864;

std::string stats_text(int running, int connected, int port, uint64_t capacity, uint64_t hits,
                       uint64_t misses, uint64_t bytes_r, uint64_t bytes_w, uint32_t dirty) {
    return "{\"running\":" + std::to_string(running) +
           ",\"connected\":" + std::to_string(connected) + ",\"port\":" + std::to_string(port) +
           ",\"capacity\":" + std::to_string(capacity) + ",\"cache_hits\":" + std::to_string(hits) +
           ",\"cache_misses\":" + std::to_string(misses) +
           ",\"sftp_bytes_r\":" + std::to_string(bytes_r) +
           ",\"sftp_bytes_w\":" + std::to_string(bytes_w) +
           ",\"dirty_chunks\":" + std::to_string(dirty) +
           ",\"svc_state_mode\":0,\"last_mount_formatted\":-1,\"last_unmount_stage\":0,"
           "\"link_up\":1,\"reconnects\":0,\"reconnect_attempts\":0,\"reconnect_next_ms\":0,"
           "\"link_error\":0,\"link_hostkey_changed\":0}";
}

} // namespace

TEST(State, VersionAndStatsBeforeAnyCall) {
    EXPECT_STREQ(norvaled_version(), "1.0.6");
    EXPECT_STREQ(norvaled_last_error(), "");
    EXPECT_EQ(std::string(norvaled_stats()), stats_text(0, 0, 3261, 0, 0, 0, 0, 0, 0));
    EXPECT_STREQ(norvaled_stats(),
                 "{\"running\":0,\"connected\":0,\"port\":3261,\"capacity\":0,\"cache_hits\":0,"
                 "\"cache_misses\":0,\"sftp_bytes_r\":0,\"sftp_bytes_w\":0,\"dirty_chunks\":0,"
                 "\"svc_state_mode\":0,\"last_mount_formatted\":-1,\"last_unmount_stage\":0,"
                 "\"link_up\":1,\"reconnects\":0,\"reconnect_attempts\":0,"
                 "\"reconnect_next_ms\":0,\"link_error\":0,\"link_hostkey_changed\":0}");
}

TEST(State, LastErrorEmptiedBySuccessAndKeptByReporters) {
    ASSERT_EQ(norvaled_start("x", k_min_size, 0), NORVALED_E_STATE);
    const std::string pending = norvaled_last_error();
    EXPECT_EQ(pending, "SFTP not connected - call norvaled_connect first");
    // The reporting exports leave a pending text alone.
    norvaled_stats();
    norvaled_version();
    EXPECT_EQ(std::string(norvaled_last_error()), pending);
    EXPECT_EQ(norvaled_last_error(), norvaled_last_error()); // one buffer, not a copy

    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    EXPECT_STREQ(norvaled_last_error(), "");
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(), "already connected");
    EXPECT_EQ(norvaled_disconnect(), 0);
    EXPECT_STREQ(norvaled_last_error(), "");
}

TEST(State, LongMessageCutAt511) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    // A path in a directory that does not exist, longer than the error text can hold.
    const std::string path = dir.file(std::string(600, 'p') + "/image");
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    ASSERT_EQ(norvaled_start(path.c_str(), k_min_size, free_port()), NORVALED_E_SSH);
    const std::string text = norvaled_last_error();
    ASSERT_EQ(text.size(), 511u);
    const std::string prefix = "cannot open/create mock file: ";
    EXPECT_EQ(text, (prefix + path).substr(0, 511));
    norvaled_disconnect();
}

TEST(State, StatsAcrossStartAndStop) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    EXPECT_EQ(std::string(norvaled_stats()), stats_text(0, 1, 3261, 0, 0, 0, 0, 0, 0));

    int port = 0;
    ASSERT_EQ(start_on_free_port(dir.file("disk.img"), k_min_size + 4096, &port), 0)
        << norvaled_last_error();
    EXPECT_EQ(std::string(norvaled_stats()), stats_text(1, 1, port, k_min_size, 0, 0, 0, 0, 0));

    // Two chunks written, one of them read back: one miss per chunk, then a hit. A 512-byte
    // write loads its 4 KiB granule, and only that granule is written back.
    std::vector<uint8_t> buf(512, 0x5A);
    ASSERT_EQ(bc_write(0, buf.data(), 512), 0);
    ASSERT_EQ(bc_write(5 * uint64_t{k_chunk_size}, buf.data(), 512), 0);
    ASSERT_EQ(bc_read(0, buf.data(), 512), 0);
    constexpr uint64_t two = 2 * uint64_t{k_granule_size};
    EXPECT_EQ(std::string(norvaled_stats()), stats_text(1, 1, port, k_min_size, 1, 2, two, 0, 2));

    ASSERT_EQ(norvaled_flush(), 0);
    EXPECT_EQ(std::string(norvaled_stats()), stats_text(1, 1, port, k_min_size, 1, 2, two, two, 0));

    // After the stop the counters stay for the host to read; capacity and dirty go to 0.
    ASSERT_EQ(norvaled_stop(), 0);
    EXPECT_EQ(std::string(norvaled_stats()), stats_text(0, 1, port, 0, 1, 2, two, two, 0));
    norvaled_disconnect();
    EXPECT_EQ(stat_value("connected"), 0);
    EXPECT_EQ(stat_value("port"), port);
}

TEST(State, ConcurrentFirstCalls) {
    // Every thread's first call is at the same moment: the state lock must come into being
    // once, and the exports must still serialise (exactly one connect wins). Only one thread
    // reads the statistics text: it is one buffer for the process, rewritten by every call.
    constexpr int k_threads = 4;
    std::atomic<int> ready{0};
    std::atomic<int> connected{0};
    std::atomic<int> refused{0};
    std::atomic<int> not_running{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < k_threads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < k_threads) {
            }
            if (i < 2) {
                const int32_t rc = norvaled_connect("mock", 0, "tester", nullptr);
                (rc == 0 ? connected : refused).fetch_add(1);
            } else if (i == 2) {
                const std::string text = norvaled_stats();
                EXPECT_EQ(text.front(), '{');
                EXPECT_EQ(text.back(), '}');
            } else if (norvaled_disk_state() == NORVALED_E_STATE) {
                not_running.fetch_add(1);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(connected.load(), 1);
    EXPECT_EQ(refused.load(), 1);
    EXPECT_EQ(not_running.load(), 1);
    EXPECT_EQ(stat_value("connected"), 1);
    EXPECT_EQ(norvaled_disconnect(), 0);
}
