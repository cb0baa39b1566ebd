// The SFTP server failing under a running target, through a relay that cuts or stalls the
// connection: errors reach the initiator and the host, every wait ends within its documented
// limit, and every byte a successful flush acknowledged is in the image afterwards. The
// reconnection itself is tested end to end in test_reconnect.cpp; here the narrower cases and
// the old behaviour that `"reconnect": false` keeps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "norvaled.h"
#include "store/cache.h"
#include "support/library_helpers.h"
#include "support/pdu_client.h"
#include "support/sshd_fixture.h"
#include "support/tcp_proxy.h"

namespace {

constexpr uint32_t k_io_timeout_ms = 2000;      // NORVALED_IO_TIMEOUT_MS for these tests: T
constexpr uint32_t k_hold_ms = 3000;            // NORVALED_RECONNECT_HOLD_MS
constexpr uint32_t k_connect_timeout_ms = 5000; // also the first connect's, under TSan
constexpr const char* k_reconnect_off = "\"reconnect\":false";
constexpr uint32_t k_chunk_blocks = 4096;
constexpr int64_t k_disk = 64ll << 20;

long long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

class SftpFaults : public sshd_test {
  protected:
    void SetUp() override {
        sshd_test::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        setenv("NORVALED_IO_TIMEOUT_MS", std::to_string(k_io_timeout_ms).c_str(), 1);
        setenv("NORVALED_RECONNECT_HOLD_MS", std::to_string(k_hold_ms).c_str(), 1);
        setenv("NORVALED_CONNECT_TIMEOUT_MS", std::to_string(k_connect_timeout_ms).c_str(), 1);
        proxy_ = std::make_unique<tcp_proxy>(sshd().port);
        ASSERT_TRUE(proxy_->ok());
        image_ = sshd().home + "/faults.img";
    }
    void TearDown() override {
        c_.close();
        if (proxy_) proxy_->stall(false);
        norvaled_disconnect();
    }
    // Connects through the relay, serves the image and logs a raw initiator in; auth_members
    // go into the auth text.
    void serve(const std::string& auth_members = "") {
        ASSERT_EQ(norvaled_connect("127.0.0.1", proxy_->port(), sshd().user.c_str(),
                                   auth_password(sshd(), auth_members).c_str()),
                  0)
            << norvaled_last_error();
        int port = 0;
        ASSERT_EQ(start_on_free_port(image_, k_disk, &port), 0) << norvaled_last_error();
        ASSERT_TRUE(c_.connect(static_cast<uint16_t>(port)));
        c_.login_normal();
    }
    pdu cdb10(uint8_t op, uint32_t lba, uint32_t blocks) {
        return c_.scsi_command({op, 0, static_cast<uint8_t>(lba >> 24),
                                static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
                                static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(blocks >> 8),
                                static_cast<uint8_t>(blocks)},
                               blocks * 512, op == 0x28 ? 0xC0 : 0x80);
    }
    uint8_t status_of(const pdu& cmd, std::vector<uint8_t>* sense) {
        uint8_t status = 0xFF;
        c_.run(cmd, &status, sense);
        return status;
    }

    std::unique_ptr<tcp_proxy> proxy_;
    std::string image_;
    pdu_client c_;
};

// With the reconnection off, a reset is final: commands that need the image fail at once,
// the flushes and the disconnect say the data did not reach the image.
TEST_F(SftpFaults, WithReconnectOffAResetFailsLoudlyAndLosesNothingAFlushAcknowledged) {
    ASSERT_NO_FATAL_FAILURE(serve(k_reconnect_off));
    const std::vector<uint8_t> flushed = pattern(0, 2 * k_chunk_blocks * 512, 41);
    ASSERT_EQ(c_.write10(0, flushed), 0);
    ASSERT_EQ(c_.read10(2 * k_chunk_blocks, 1).size(), 512u); // chunk 2 cached, clean
    ASSERT_EQ(norvaled_flush(), 0) << norvaled_last_error();

    proxy_->reset_client();
    // A READ from cached chunk 2 into chunk 3, which cannot be loaded: the cached piece, its
    // sequence ended without status, then CHECK CONDITION HARDWARE ERROR / 0x11.
    ASSERT_TRUE(c_.send(cdb10(0x28, 3 * k_chunk_blocks - 8, 16)));
    pdu in = c_.expect(10 * k_io_timeout_ms);
    EXPECT_EQ(in.opcode(), 0x25);
    EXPECT_EQ(in.flags(), 0x80) << "F without S";
    EXPECT_EQ(in.data.size(), 4096u);
    pdu rsp = c_.expect(10 * k_io_timeout_ms);
    EXPECT_EQ(rsp.opcode(), 0x21);
    EXPECT_EQ(rsp.hdr[3], 0x02);
    EXPECT_EQ(std::vector<uint8_t>(rsp.data.begin() + 2, rsp.data.end()), fixed_sense(0x4, 0x11));

    // A WRITE into a cached chunk is taken; the flushes say the data did not reach the image.
    EXPECT_EQ(c_.write10(2 * k_chunk_blocks, pattern(0, 4096, 42)), 0);
    std::vector<uint8_t> sense;
    EXPECT_EQ(status_of(c_.scsi_command({0x35}, 0, 0x80), &sense), 0x02);
    EXPECT_EQ(sense, fixed_sense(0x3, 0x0C));
    EXPECT_EQ(norvaled_flush(), NORVALED_E_SSH);
    EXPECT_GE(stat_value("dirty_chunks"), 1);
    EXPECT_EQ(stat_value("link_up"), 0);
    EXPECT_EQ(stat_value("reconnect_attempts"), 0) << "retried with the reconnection off";

    // The disconnect completes but reports the loss; a second call has nothing to report.
    c_.close();
    EXPECT_EQ(norvaled_disconnect(), NORVALED_E_SSH);
    EXPECT_NE(std::string(norvaled_last_error()).find("final write-back failed: "),
              std::string::npos)
        << norvaled_last_error();
    EXPECT_EQ(norvaled_disconnect(), 0);

    // Back again: what the successful flush acknowledged is there.
    ASSERT_NO_FATAL_FAILURE(serve(k_reconnect_off));
    EXPECT_EQ(c_.read10(0, 2 * k_chunk_blocks), flushed);
}

// With T the SSH time-out and H the reconnection hold, the limits the header gives: a READ
// that needs the image is answered within 3T + H, norvaled_flush returns within 3T + H and
// norvaled_stop within 5T plus two reconnect attempts (each the connect time-out plus 4T);
// norvaled_stats answers at once while only the server thread waits.
TEST_F(SftpFaults, AStalledServerEndsEveryWaitWithinItsLimit) {
    ASSERT_NO_FATAL_FAILURE(serve());
    const std::vector<uint8_t> data = pattern(0, 4096, 43);
    ASSERT_EQ(c_.write10(0, data), 0); // dirty in chunk 0
    proxy_->stall(true);
    constexpr long long k_image_bound_ms = 3 * k_io_timeout_ms + k_hold_ms + 1000;

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(c_.send(cdb10(0x28, 5 * k_chunk_blocks, 8)));
    const std::string stats = norvaled_stats();
    EXPECT_LT(elapsed_ms(start), k_io_timeout_ms) << "norvaled_stats waited for the image";
    EXPECT_NE(stats.find("\"running\":1"), std::string::npos) << stats;
    pdu rsp = c_.expect(10 * k_image_bound_ms);
    EXPECT_EQ(rsp.opcode(), 0x21);
    EXPECT_EQ(rsp.hdr[3], 0x02);
    EXPECT_LT(elapsed_ms(start), k_image_bound_ms);

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(norvaled_flush(), NORVALED_E_SSH);
    EXPECT_LT(elapsed_ms(start), k_image_bound_ms);

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(norvaled_stop(), NORVALED_E_SSH);
    EXPECT_LT(elapsed_ms(start),
              5 * k_io_timeout_ms + 2 * (k_connect_timeout_ms + 4 * k_io_timeout_ms) + 1000);
    EXPECT_TRUE(c_.closed_within());
}

// A write-back stuck on the link holds up no command that the cache can answer: a cached read
// is served while the flush still waits for the server (it fails only after the I/O time-out
// and the hold).
TEST_F(SftpFaults, ACachedReadNeverWaitsForAWriteBackInFlight) {
    ASSERT_NO_FATAL_FAILURE(serve());
    const std::vector<uint8_t> data = pattern(0, 4096, 44);
    std::vector<uint8_t> got(4096);
    ASSERT_EQ(bc_read(5ull << 21, got.data(), 4096), 0); // cached and clean
    ASSERT_EQ(c_.write10(0, data), 0);                   // dirty in chunk 0
    proxy_->stall(true);
    std::atomic<bool> flushed{false};
    std::thread flusher([&] {
        EXPECT_EQ(norvaled_flush(), NORVALED_E_SSH);
        flushed = true;
    });
    while (g_bc.commands_waiting.load() == 0 && !flushed.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the write-back is under way
    ASSERT_EQ(bc_read((5ull << 21) + 8192, got.data(), 4096), 0);
    EXPECT_FALSE(flushed.load()) << "the cached read waited for the write-back";
    ASSERT_EQ(c_.read10(5 * k_chunk_blocks, 8).size(), 4096u);
    flusher.join();
    proxy_->stall(false);
}

// A failed login names the user, never the password or the passphrase it was given.
TEST_F(SftpFaults, SecretsNeverReachTheLastError) {
    const std::string password = "not-" + sshd().password;
    ASSERT_NE(norvaled_connect("127.0.0.1", proxy_->port(), sshd().user.c_str(),
                               ("{\"password\":" + json_quote(password) + "}").c_str()),
              0);
    EXPECT_EQ(std::string(norvaled_last_error()).find(password), std::string::npos);
    const std::string passphrase = "not-" + sshd().passphrase;
    const std::string auth = "{\"key_path\":" + json_quote(sshd().key_protected) +
                             ",\"passphrase\":" + json_quote(passphrase) + "}";
    ASSERT_NE(norvaled_connect("127.0.0.1", proxy_->port(), sshd().user.c_str(), auth.c_str()), 0);
    const std::string error = norvaled_last_error();
    EXPECT_EQ(error.find(passphrase), std::string::npos) << error;
    EXPECT_NE(error.find(sshd().user), std::string::npos) << error;
}

} // namespace
