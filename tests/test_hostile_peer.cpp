// A local peer that does not play by the rules: segments beyond the declared limit, more kept
// commands and data than a connection may hold, a READ of nearly 4 GiB, Task Management and
// Logout inside a write's data phase, and a host that exits while the target serves.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "norvaled.h"
#include "store/cache.h"
#include "support/pdu_client.h"

namespace {

class HostilePeer : public RawTargetTest {
  protected:
    void SetUp() override {
        RawTargetTest::SetUp();
        c_.login_normal();
    }
    // A WRITE (10) of blocks at lba with F set and no data: the target answers with an R2T.
    pdu start_write(uint32_t lba, uint32_t blocks) {
        pdu w = c_.scsi_command({0x2A, 0, 0, 0, static_cast<uint8_t>(lba >> 8),
                                 static_cast<uint8_t>(lba), 0, 0, static_cast<uint8_t>(blocks)},
                                blocks * 512, 0xA0);
        EXPECT_TRUE(c_.send(w));
        EXPECT_EQ(c_.expect().opcode(), 0x31);
        return w;
    }
    pdu task_management(uint8_t function, uint32_t referenced) {
        pdu tmf;
        tmf.hdr[0] = 0x42; // immediate
        tmf.hdr[1] = static_cast<uint8_t>(0x80 | function);
        tmf.set_u32(16, c_.next_itt++);
        tmf.set_u32(20, referenced);
        tmf.set_u32(24, c_.cmd_sn);
        return tmf;
    }
};

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

TEST_F(HostilePeer, SegmentsAndKeptDataBeyondTheDeclaredBoundsEndTheConnection) {
    // Exactly the declared MaxRecvDataSegmentLength is served...
    ASSERT_TRUE(c_.send(c_.nop_out(0x10, std::vector<uint8_t>(262144, 0x5A))));
    EXPECT_EQ(c_.expect().data.size(), 262144u);
    // ...one byte more ends the connection before a byte of the segment is taken.
    pdu big = c_.nop_out(0x11);
    big.hdr[5] = 0x04;
    big.hdr[7] = 0x01; // DataSegmentLength 262145; no data follows
    ASSERT_TRUE(c_.send_raw(big.hdr.data(), big.hdr.size()));
    EXPECT_TRUE(c_.closed_within());

    // A kept WRITE's unsolicited data beyond FirstBurstLength.
    ASSERT_TRUE(reconnect(c_));
    start_write(0, 16);
    pdu kept = c_.scsi_command({0x2A, 0, 0, 0, 1, 0, 0, 1, 0}, 131072, 0x20);
    ASSERT_TRUE(c_.send(kept));
    ASSERT_TRUE(
        c_.send(c_.data_out(kept.itt(), k_no_tag, 0, 0, std::vector<uint8_t>(65536), false)));
    EXPECT_TRUE(c_.silent_for(200));
    ASSERT_TRUE(c_.send(c_.data_out(kept.itt(), k_no_tag, 1, 65536, {1, 2, 3, 4}, true)));
    EXPECT_TRUE(c_.closed_within());

    // More kept commands than the 32-command window.
    ASSERT_TRUE(reconnect(c_));
    start_write(0, 16);
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(c_.send(c_.scsi_command({0x00}, 0, 0x80)));
    EXPECT_TRUE(c_.silent_for(200));
    ASSERT_TRUE(c_.send(c_.scsi_command({0x00}, 0, 0x80)));
    EXPECT_TRUE(c_.closed_within());
}

// A READ (16) of nearly 4 GiB moves one chunk at a time: its first data leaves before more
// than a few chunks were touched, the cache lock is free between pieces, and a stop ends
// the connection in the middle of it.
class HugeRead : public HostilePeer {
  protected:
    void SetUp() override {
        serve(5ull << 30);
        c_.login_normal();
    }
};

TEST_F(HugeRead, MovesInBoundedPiecesAndAStopEndsIt) {
    const long before = peak_rss_kib();
    pdu read = c_.scsi_command({0x88}, 0, 0xC0);
    read.set_u32(42, 8388607); // blocks: 4 GiB - 512 bytes
    ASSERT_TRUE(c_.send(read));
    pdu first = c_.expect(30000);
    EXPECT_EQ(first.opcode(), 0x25);
    EXPECT_EQ(first.flags(), 0x00) << "more data follows";
    EXPECT_LT(peak_rss_kib() - before, 64 * 1024) << "KiB more than before the READ";
    EXPECT_EQ(norvaled_flush(), 0);
    EXPECT_EQ(norvaled_disk_state(), NORVALED_DISK_BLANK);
    EXPECT_EQ(stop_mock_target(), 0);
    port_ = 0;
    pdu p;
    while (c_.recv(p, 10000)) {
        ASSERT_EQ(p.opcode(), 0x25);
        ASSERT_EQ(p.flags() & 0x01, 0) << "the READ never completes";
    }
}

TEST_F(HostilePeer, TaskManagementAndLogoutInsideADataPhaseAreAnswered) {
    const std::vector<uint8_t> data = pattern(0, 8192, 21);
    // Any function but an ABORT TASK naming the write: answered, and the write goes on.
    pdu w = start_write(0, 16);
    ASSERT_TRUE(c_.send(task_management(1, 0x4242)));
    pdu answer = c_.expect();
    EXPECT_EQ(answer.opcode(), 0x22);
    EXPECT_EQ(answer.hdr[2], 0) << "function complete";
    ASSERT_TRUE(c_.send(c_.data_out(w.itt(), 0, 0, 0, data, true)));
    EXPECT_EQ(c_.expect().opcode(), 0x21);
    EXPECT_EQ(c_.read10(0, 16), data);

    // ABORT TASK naming the write ends its data phase without a SCSI Response.
    w = start_write(100, 16);
    ASSERT_TRUE(c_.send(task_management(1, w.itt())));
    EXPECT_EQ(c_.expect().opcode(), 0x22);
    EXPECT_TRUE(c_.silent_for(200));
    EXPECT_EQ(c_.read10(0, 16), data) << "the connection goes on";

    // A Logout is answered, then the connection ends.
    start_write(200, 16);
    pdu logout;
    logout.hdr[0] = 0x46;
    logout.hdr[1] = 0x80;
    logout.set_u32(16, 0x77);
    logout.set_u32(24, c_.cmd_sn);
    ASSERT_TRUE(c_.send(logout));
    pdu bye = c_.expect();
    EXPECT_EQ(bye.opcode(), 0x26);
    EXPECT_EQ(bye.itt(), 0x77u);
    EXPECT_TRUE(c_.closed_within());
}

// The portal has no authentication: it must answer on 127.0.0.1 only. 127.0.0.2 is another
// address of this machine's own loopback interface, so nothing leaves the machine.
TEST_F(HostilePeer, TheListenerAnswersOnlyOn127001) {
    unique_sock s(net_socket_tcp4());
    net_addr other;
    ASSERT_EQ(net_resolve_ipv4("127.0.0.2", port_, &other), 0);
    EXPECT_EQ(net_connect_within(s.get(), other, 2000), connect_result::failed);
    pdu_client again;
    EXPECT_TRUE(again.connect(port_)) << "a second client waits in the backlog on 127.0.0.1";
}

// A host that returns from main while the threads serve must not crash at exit: the cache
// lock outlives the static destructors. Under AddressSanitizer a lock freed too early is a
// use after free even when the crash itself does not happen.
TEST(ProcessExit, AHostExitingWhileTheTargetServesExitsCleanly) {
    scoped_dir dir(temp_dir());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (start_mock_target(dir.path() + "/disk.img", 64ull << 20) == 0) _exit(3);
        std::atomic<bool> go{true};
        std::thread reader([&go] {
            std::vector<uint8_t> buf(4096);
            for (uint64_t i = 0; go.load(); ++i)
                bc_read((i % 32) << 21, buf.data(), 4096);
        });
        reader.detach();
        std::exit(0); // runs the static destructors while the reader holds the cache lock
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
