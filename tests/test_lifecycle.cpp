// norvaled_start, norvaled_stop, norvaled_flush and norvaled_disconnect through the exports,
// on a mock image: limits, port rules, wrong-state calls, clean-up order and restarts.
#include <atomic>
#include <cstdint>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "norvaled.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "store/cache.h"
#include "support/library_helpers.h"
#include "support/mock_library.h"
#include "support/temp_dir.h"

namespace {

constexpr uint64_t k_chunk = k_chunk_size;

class Lifecycle : public mock_library_test {
  protected:
    void expect_failure(int32_t rc, int32_t code, const std::string& text) {
        EXPECT_EQ(rc, code) << text;
        EXPECT_EQ(std::string(norvaled_last_error()), text);
    }
};

// A start on the default port, waiting a while when another test process holds it.
int32_t start_on_default_port(const std::string& image, int32_t port_arg) {
    int32_t rc = NORVALED_E_NET;
    for (int i = 0; i < 100 && rc == NORVALED_E_NET; ++i) {
        rc = norvaled_start(image.c_str(), k_min_size, port_arg);
        if (rc == NORVALED_E_NET) sleep_ms(100);
    }
    return rc;
}

} // namespace

TEST_F(Lifecycle, SizeLimits) {
    const std::string invalid = "invalid remote_path or size (minimum 64MB required)";
    for (const int64_t size : {int64_t{67108863}, int64_t{0}, int64_t{-1}, INT64_MIN})
        expect_failure(norvaled_start(image_.c_str(), size, free_port()), NORVALED_E_ARG, invalid);
    expect_failure(norvaled_start(nullptr, k_min_size, free_port()), NORVALED_E_ARG, invalid);
    expect_failure(norvaled_start("", k_min_size, free_port()), NORVALED_E_ARG, invalid);
    EXPECT_EQ(size_of(image_), -1); // nothing was created

    ASSERT_EQ(start_on_free_port(image_, k_min_size), 0) << norvaled_last_error();
    EXPECT_EQ(stat_value("capacity"), k_min_size);
    ASSERT_EQ(norvaled_stop(), 0);

    ASSERT_EQ(start_on_free_port(image_, 100000000), 0) << norvaled_last_error();
    EXPECT_EQ(stat_value("capacity"), 98566144);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(bc_read(98566144 - 512, buf.data(), 512), 0);
    EXPECT_EQ(bc_read(98566144, buf.data(), 1), -5);
    EXPECT_EQ(size_of(image_), 100000000);
    EXPECT_EQ(norvaled_stop(), 0);
}

TEST_F(Lifecycle, DefaultPort) {
    for (const int32_t port_arg : {0, -1}) {
        ASSERT_EQ(start_on_default_port(image_, port_arg), 0) << norvaled_last_error();
        EXPECT_EQ(stat_value("port"), NORVALED_DEFAULT_PORT);
        EXPECT_TRUE(port_accepts(NORVALED_DEFAULT_PORT));
        ASSERT_EQ(norvaled_stop(), 0);
    }
}

TEST_F(Lifecycle, PortRules) {
    for (const int32_t port : {65536, 65536 + 3261, INT32_MAX}) {
        EXPECT_EQ(norvaled_start(image_.c_str(), k_min_size, port), NORVALED_E_ARG) << port;
        EXPECT_NE(std::string(norvaled_last_error()), "");
        EXPECT_EQ(stat_value("running"), 0);
    }
    int port = 0;
    ASSERT_EQ(start_on_free_port(image_, k_min_size, &port), 0) << norvaled_last_error();
    EXPECT_EQ(stat_value("port"), port);
    EXPECT_TRUE(port_accepts(port));
    ASSERT_EQ(norvaled_stop(), 0);
    EXPECT_EQ(stat_value("port"), port); // the last port stays on show
    EXPECT_FALSE(port_accepts(port));    // the listener is gone
}

TEST_F(Lifecycle, WrongStateCalls) {
    const std::string not_running = "target not running";
    expect_failure(norvaled_stop(), NORVALED_E_STATE, not_running);
    expect_failure(norvaled_flush(), NORVALED_E_STATE, not_running);
    expect_failure(norvaled_disk_state(), NORVALED_E_STATE,
                   "target not running \xE2\x80\x94 call norvaled_start first");
    ASSERT_EQ(start_on_free_port(image_, k_min_size), 0) << norvaled_last_error();
    expect_failure(norvaled_start(image_.c_str(), k_min_size, free_port()), NORVALED_E_STATE,
                   "target already running");
    ASSERT_EQ(norvaled_stop(), 0);
    expect_failure(norvaled_stop(), NORVALED_E_STATE, not_running);
    expect_failure(norvaled_flush(), NORVALED_E_STATE, not_running);

    ASSERT_EQ(norvaled_disconnect(), 0);
    expect_failure(norvaled_start(image_.c_str(), k_min_size, free_port()), NORVALED_E_STATE,
                   "SFTP not connected - call norvaled_connect first");
    expect_failure(norvaled_stop(), NORVALED_E_STATE, not_running);
    expect_failure(norvaled_flush(), NORVALED_E_STATE, not_running);
}

TEST_F(Lifecycle, FailedBindThenAnotherPort) {
    int first = 0;
    ASSERT_EQ(start_on_free_port(image_, k_min_size, &first), 0) << norvaled_last_error();
    ASSERT_EQ(norvaled_stop(), 0);

    unique_sock busy(net_socket_tcp4());
    ASSERT_EQ(net_bind_loopback(busy.get(), 0), 0);
    ASSERT_EQ(net_listen(busy.get(), 4), 0);
    const int taken = net_local_port(busy.get());
    const int fds = open_fd_count();
    EXPECT_EQ(norvaled_start(image_.c_str(), k_min_size, taken), NORVALED_E_NET);
    EXPECT_EQ(std::string(norvaled_last_error()), "bind failed on port " + std::to_string(taken));
    EXPECT_EQ(stat_value("running"), 0);
    EXPECT_EQ(stat_value("capacity"), 0);
    EXPECT_EQ(stat_value("port"), first); // unchanged by the failure
    EXPECT_LE(open_fd_count(), fds + 1);  // at most the mock file stays open

    int second = 0;
    ASSERT_EQ(start_on_free_port(image_, k_min_size, &second), 0) << norvaled_last_error();
    EXPECT_EQ(stat_value("port"), second);
    EXPECT_EQ(norvaled_stop(), 0);
}

TEST_F(Lifecycle, RestartAfterStopStartsFromScratch) {
    ASSERT_EQ(start_on_free_port(image_, k_min_size), 0) << norvaled_last_error();
    const std::vector<uint8_t> piece(512, 0x4F);
    ASSERT_EQ(bc_write(3 * k_chunk, piece.data(), 512), 0);
    std::vector<uint8_t> got(512);
    ASSERT_EQ(bc_read(3 * k_chunk, got.data(), 512), 0);
    ASSERT_EQ(norvaled_stop(), 0);
    EXPECT_EQ(stat_value("cache_hits"), 1);
    EXPECT_EQ(stat_value("cache_misses"), 1);
    EXPECT_EQ(stat_value("sftp_bytes_w"), int64_t{k_granule_size}); // the stop wrote it back

    ASSERT_EQ(start_on_free_port(image_, k_min_size), 0) << norvaled_last_error();
    for (const char* key :
         {"cache_hits", "cache_misses", "sftp_bytes_r", "sftp_bytes_w", "dirty_chunks"})
        EXPECT_EQ(stat_value(key), 0) << key;
    ASSERT_EQ(bc_read(3 * k_chunk, got.data(), 512), 0);
    EXPECT_EQ(got, piece);
    EXPECT_EQ(stat_value("cache_misses"), 1); // loaded from the image, not left in a slot
    EXPECT_EQ(norvaled_stop(), 0);
}

TEST_F(Lifecycle, DisconnectOfARunningTargetWritesBackThenCloses) {
    ASSERT_EQ(start_on_free_port(image_, k_min_size), 0) << norvaled_last_error();
    const std::vector<uint8_t> piece = pattern(0, 4096, 2);
    ASSERT_EQ(bc_write(5 * k_chunk + 512, piece.data(), 4096), 0);
    const int fds = open_fd_count();
    EXPECT_EQ(norvaled_disconnect(), 0);
    EXPECT_STREQ(norvaled_last_error(), "");
    EXPECT_EQ(read_at(image_, 5 * k_chunk + 512, 4096), piece);
    EXPECT_EQ(stat_value("running"), 0);
    EXPECT_EQ(stat_value("connected"), 0);
    EXPECT_LT(open_fd_count(), fds); // listener and image closed
    EXPECT_EQ(norvaled_disconnect(), 0);
    EXPECT_EQ(norvaled_stop(), NORVALED_E_STATE);
    // Back to Idle: a new connect and start work.
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    ASSERT_EQ(start_on_free_port(image_, k_min_size), 0) << norvaled_last_error();
    std::vector<uint8_t> got(4096);
    ASSERT_EQ(bc_read(5 * k_chunk + 512, got.data(), 4096), 0);
    EXPECT_EQ(got, piece);
}

TEST_F(Lifecycle, StopWithAnInitiatorStillConnected) {
    // One peer that connected and sent nothing, one that sent half a PDU header; the stop
    // must end the server thread's connection, not wait for it forever nor free the cache
    // under it.
    for (const std::size_t sent : {std::size_t{0}, std::size_t{20}}) {
        int port = 0;
        ASSERT_EQ(start_on_free_port(image_, k_min_size, &port), 0) << norvaled_last_error();
        net_addr addr;
        ASSERT_EQ(net_resolve_ipv4("127.0.0.1", port, &addr), 0);
        unique_sock peer(net_socket(addr));
        ASSERT_EQ(net_connect_within(peer.get(), addr, 2000), connect_result::connected);
        if (sent != 0) {
            std::vector<uint8_t> half(sent, 0);
            half[0] = 0x00; // NOP-Out opcode, the rest of the header never comes
            ASSERT_EQ(net_send_all(peer.get(), half.data(), half.size()), 0);
        }
        sleep_ms(200); // let the server thread take the connection
        // The stop runs on its own thread, so that a stop stuck on the connection fails this
        // test (and is then freed by closing the peer) instead of hanging it.
        std::atomic<bool> done{false};
        std::atomic<int32_t> rc{1};
        std::thread stopper([&] {
            rc = norvaled_stop();
            done = true;
        });
        const uint64_t deadline = tick_ms() + 16000; // both thread limits, and a margin
        while (!done.load() && tick_ms() < deadline)
            sleep_ms(20);
        EXPECT_TRUE(done.load()) << "the stop waited beyond its limits for a connected peer";
        if (!done.load()) net_shutdown(peer.get());
        stopper.join();
        EXPECT_EQ(rc.load(), 0) << norvaled_last_error();
        EXPECT_EQ(stat_value("running"), 0);
        // The connection was ended from the target's side.
        char byte;
        net_set_io_timeouts(peer.get(), 5000);
        EXPECT_LE(net_recv(peer.get(), &byte, 1), 0);
    }
}

TEST(LifecycleFullDisk, StopReportsAFailedFinalWriteBack) {
    tmpfs_dir fs(4ull << 20);
    ASSERT_TRUE(fs.ok()) << "cannot mount a tmpfs (needs root)";
    const std::string image = fs.file("disk.img");
    ASSERT_TRUE(create_sparse_file(image, k_min_size)); // long enough: the start writes nothing
    ASSERT_TRUE(fs.fill());
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    ASSERT_EQ(start_on_free_port(image, k_min_size), 0) << norvaled_last_error();
    const std::vector<uint8_t> piece(512, 0x81);
    for (const uint64_t c : {1, 7})
        ASSERT_EQ(bc_write(c * k_chunk, piece.data(), 512), 0);

    EXPECT_EQ(norvaled_flush(), NORVALED_E_SSH);
    EXPECT_STREQ(norvaled_last_error(), "");
    EXPECT_EQ(stat_value("dirty_chunks"), 2);
    EXPECT_EQ(norvaled_stop(), NORVALED_E_SSH);
    EXPECT_EQ(std::string(norvaled_last_error()),
              "final write-back failed: 2 chunk(s) of cached data could not be written to the "
              "image");
    EXPECT_EQ(stat_value("running"), 0);
    EXPECT_EQ(stat_value("dirty_chunks"), 0);
    // Fully stopped all the same: a new start works once there is space again.
    fs.unfill();
    ASSERT_EQ(start_on_free_port(image, k_min_size), 0) << norvaled_last_error();
    EXPECT_EQ(norvaled_stop(), 0);
    EXPECT_EQ(norvaled_disconnect(), 0);
}
