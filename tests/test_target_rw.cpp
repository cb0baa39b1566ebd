// Block reads and writes: Data-In segmentation, the R2T data phase, requests that arrive
// during it, the range and size refusals, and data reaching the image file.
#include <gtest/gtest.h>

#include "norvaled.h"
#include "support/pdu_client.h"

namespace {

constexpr uint32_t k_blocks = 131072; // the 64 MiB disk

class ReadWrite : public RawTargetTest {
  protected:
    void SetUp() override {
        RawTargetTest::SetUp();
        c_.login_normal();
    }
    uint8_t status_of(const pdu& cmd, std::vector<uint8_t>* sense = nullptr) {
        uint8_t status = 0xFF;
        c_.run(cmd, &status, sense);
        return status;
    }
};

pdu cdb10(pdu_client& c, uint8_t op, uint32_t lba, uint32_t blocks, uint8_t flags) {
    return c.scsi_command({op, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                           static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
                           static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks)},
                          blocks * 512, flags);
}

pdu cdb16(pdu_client& c, uint8_t op, uint64_t lba, uint32_t blocks, uint8_t flags) {
    pdu p = c.scsi_command({op}, 0, flags);
    p.set_u32(34, static_cast<uint32_t>(lba >> 32));
    p.set_u32(38, static_cast<uint32_t>(lba));
    p.set_u32(42, blocks);
    return p;
}

// Sends the bytes [from, to) of data for itt as Data-Out PDUs of piece bytes, F on the last.
void send_burst(pdu_client& c, uint32_t itt, uint32_t ttt, const std::vector<uint8_t>& data,
                uint32_t from, uint32_t to, uint32_t piece = 65536) {
    for (uint32_t at = from, sn = 0; at < to; at += piece, ++sn) {
        const uint32_t n = std::min(piece, to - at);
        ASSERT_TRUE(c.send(c.data_out(itt, ttt, sn, at, {data.begin() + at, data.begin() + at + n},
                                      at + n == to)));
    }
}

TEST_F(ReadWrite, AReadIsCutIntoDataInSegmentsOfTheInitiatorsLimit) {
    const std::vector<uint8_t> content = pattern(512 * 100, 20480, 1);
    ASSERT_EQ(c_.write10(100, content, 20480), 0);
    c_.cmd_sn = 0x500;
    const pdu cmd = cdb10(c_, 0x28, 100, 40, 0xC0);
    ASSERT_TRUE(c_.send(cmd));
    const uint32_t sizes[] = {8192, 8192, 4096};
    std::vector<uint8_t> got;
    uint32_t stat_sn = 0;
    for (uint32_t sn = 0; sn < 3; ++sn) {
        pdu p = c_.expect();
        if (sn == 0) stat_sn = p.stat_sn();
        pdu want;
        want.hdr[0] = 0x25;
        want.hdr[1] = sn == 2 ? 0x81 : 0x00; // F and S on the last only
        want.set_u16(6, sizes[sn]);
        want.set_u32(16, cmd.itt());
        want.set_u32(20, k_no_tag);
        want.set_u32(24, stat_sn); // the same on all three
        want.set_u32(28, 0x501);
        want.set_u32(32, 0x520);
        want.set_u32(36, sn);
        want.set_u32(40, sn * 8192);
        EXPECT_EQ(p.hdr, want.hdr) << "Data-In " << sn;
        got.insert(got.end(), p.data.begin(), p.data.end());
    }
    EXPECT_EQ(got, content);
    ASSERT_TRUE(c_.send(c_.nop_out(0x99)));
    EXPECT_EQ(c_.expect().stat_sn(), stat_sn + 1) << "only the last Data-In took a StatSN";
}

TEST_F(ReadWrite, TransferLengthZeroMeans256BlocksInSixByteCdbsAndNothingElsewhere) {
    EXPECT_EQ(c_.run(c_.scsi_command({0x08, 0, 0, 0, 0, 0}, 131072)).size(), 131072u);
    for (const pdu& none : {cdb10(c_, 0x28, 0, 0, 0xC0), cdb16(c_, 0x88, 0, 0, 0xC0)}) {
        ASSERT_TRUE(c_.send(none));
        pdu p = c_.expect();
        EXPECT_EQ(p.opcode(), 0x21) << "GOOD without a Data-In";
        EXPECT_EQ(p.hdr[3], 0);
        EXPECT_EQ(p.data_len(), 0u);
    }
    EXPECT_EQ(status_of(cdb10(c_, 0x2A, 0, 0, 0xA0)), 0) << "WRITE (10) of nothing";

    // WRITE (6) of 0: 256 blocks, 65536 bytes immediate and one R2T for the rest.
    const std::vector<uint8_t> data = pattern(0, 131072, 2);
    pdu w6 = c_.scsi_command({0x0A, 0, 0, 0, 0, 0}, 131072, 0xA0);
    w6.data.assign(data.begin(), data.begin() + 65536);
    ASSERT_TRUE(c_.send(w6));
    pdu r2t = c_.expect();
    ASSERT_EQ(r2t.opcode(), 0x31);
    EXPECT_EQ(r2t.buffer_offset(), 65536u);
    EXPECT_EQ(r2t.desired_length(), 65536u);
    send_burst(c_, w6.itt(), r2t.ttt(), data, 65536, 131072);
    EXPECT_EQ(c_.expect().hdr[3], 0);
    EXPECT_EQ(c_.read10(0, 256), data);
}

TEST_F(ReadWrite, RangesEndAtTheLastBlockWithoutWrapAround) {
    EXPECT_EQ(c_.read10(k_blocks - 1, 1).size(), 512u);
    std::vector<uint8_t> s;
    EXPECT_EQ(status_of(cdb10(c_, 0x28, k_blocks, 1, 0xC0), &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x21));
    EXPECT_EQ(status_of(cdb10(c_, 0x28, k_blocks - 1, 2, 0xC0), &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x21));
    EXPECT_EQ(status_of(cdb16(c_, 0x88, ~0ull, 2, 0xC0), &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x21)) << "an LBA whose byte offset wraps";
    EXPECT_EQ(status_of(cdb16(c_, 0x88, 1ull << 55, 1, 0xC0), &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x21));

    // A write beyond the end takes nothing: no R2T, and the immediate data is not written.
    pdu w = cdb10(c_, 0x2A, k_blocks - 1, 2, 0xA0);
    w.data.assign(1024, 0xEE);
    EXPECT_EQ(status_of(w, &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x21));
    EXPECT_EQ(c_.read10(k_blocks - 1, 1), std::vector<uint8_t>(512, 0));
}

TEST_F(ReadWrite, AWriteWithImmediateDataAsksForTheRestWithOneR2T) {
    const std::vector<uint8_t> data = pattern(512 * 1000, 131072, 3);
    c_.cmd_sn = 0x42;
    pdu cmd = cdb10(c_, 0x2A, 1000, 256, 0xA0);
    for (int i = 8; i < 16; ++i)
        cmd.hdr[i] = static_cast<uint8_t>(0xB0 + i); // the R2T carries the LUN back
    cmd.data.assign(data.begin(), data.begin() + 65536);
    ASSERT_TRUE(c_.send(cmd));
    pdu r2t = c_.expect();
    pdu want;
    want.hdr = {0x31, 0x80};
    for (int i = 8; i < 16; ++i)
        want.hdr[i] = static_cast<uint8_t>(0xB0 + i);
    want.set_u32(16, cmd.itt());
    want.set_u32(20, 0x52325400);
    want.set_u32(24, 3); // StatSN after two login answers, not advanced by the R2T
    want.set_u32(28, 0x43);
    want.set_u32(32, 0x62);
    want.set_u32(36, 0); // R2TSN
    want.set_u32(40, 65536);
    want.set_u32(44, 65536);
    EXPECT_EQ(r2t.hdr, want.hdr);

    send_burst(c_, cmd.itt(), r2t.ttt(), data, 65536, 131072, 8192);
    pdu done = c_.expect();
    EXPECT_EQ(done.opcode(), 0x21);
    EXPECT_EQ(done.hdr[3], 0);
    EXPECT_EQ(done.stat_sn(), 3u);
    EXPECT_EQ(c_.read10(1000, 256), data);
}

TEST_F(ReadWrite, AWriteWithoutImmediateDataTakesOneR2TPerBurst) {
    const std::vector<uint8_t> data = pattern(0, 1 << 20, 4);
    pdu cmd = cdb10(c_, 0x2A, 0, 2048, 0xA0);
    ASSERT_TRUE(c_.send(cmd));
    for (uint32_t sn = 0; sn < 4; ++sn) {
        pdu r2t = c_.expect();
        ASSERT_EQ(r2t.opcode(), 0x31);
        EXPECT_EQ(r2t.u32(36), sn);
        EXPECT_EQ(r2t.ttt(), 0x52325400 + sn);
        EXPECT_EQ(r2t.buffer_offset(), sn * 262144);
        EXPECT_EQ(r2t.desired_length(), 262144u);
        send_burst(c_, cmd.itt(), r2t.ttt(), data, sn * 262144, (sn + 1) * 262144);
    }
    EXPECT_EQ(c_.expect().opcode(), 0x21);
    EXPECT_EQ(c_.read10(0, 2048), data);

    // The data reaches the image file with a flush.
    ASSERT_EQ(norvaled_flush(), 0);
    EXPECT_EQ(read_at(image_, 0, 1 << 20), data);
}

TEST_F(ReadWrite, ABurstEndsOnlyAtADataOutWithTheFinalFlag) {
    const std::vector<uint8_t> data = pattern(0, 4096, 5);
    pdu cmd = cdb10(c_, 0x2A, 0, 8, 0xA0);
    ASSERT_TRUE(c_.send(cmd));
    pdu r2t = c_.expect();
    ASSERT_TRUE(c_.send(c_.data_out(cmd.itt(), r2t.ttt(), 0, 0, data, false)));
    EXPECT_TRUE(c_.silent_for(300)) << "all bytes came, but the burst has not ended";
    ASSERT_TRUE(c_.send(c_.data_out(cmd.itt(), r2t.ttt(), 1, 4096, {}, true)));
    EXPECT_EQ(c_.expect().opcode(), 0x21);
    EXPECT_EQ(c_.read10(0, 8), data);
}

TEST_F(ReadWrite, ImmediateDataBeyondTheTransferLengthIsIgnored) {
    pdu cmd = cdb10(c_, 0x2A, 10, 1, 0xA0);
    cmd.data = pattern(0, 1024, 6);
    EXPECT_EQ(status_of(cmd), 0);
    std::vector<uint8_t> want = pattern(0, 512, 6);
    want.resize(1024, 0);
    EXPECT_EQ(c_.read10(10, 2), want);
}

// The initiator never sends beyond its Expected Data Transfer Length: soliciting more would
// leave both sides waiting. Such a write is refused whole, its announced data drained.
TEST_F(ReadWrite, AWriteLongerThanTheExpectedTransferIsRefusedWithoutAnR2T) {
    pdu cmd = cdb10(c_, 0x2A, 20, 1, 0xA0);
    cmd.set_u32(20, 200); // EDTL 200 of 512
    cmd.data = pattern(0, 200, 12);
    std::vector<uint8_t> s;
    EXPECT_EQ(status_of(cmd, &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x24));

    pdu unsolicited = cdb10(c_, 0x2A, 20, 8, 0x20); // F clear: a burst follows
    unsolicited.set_u32(20, 1024);
    ASSERT_TRUE(c_.send(unsolicited));
    send_burst(c_, unsolicited.itt(), k_no_tag, pattern(0, 1024, 13), 0, 1024, 512);
    pdu answer = c_.expect();
    EXPECT_EQ(answer.opcode(), 0x21) << "an answer, not an R2T";
    EXPECT_EQ(answer.hdr[3], 0x02);
    EXPECT_EQ(c_.read10(20, 8), std::vector<uint8_t>(4096, 0)) << "nothing was written";
}

TEST_F(ReadWrite, ANopOutDuringTheDataPhaseIsAnsweredAndTheWriteGoesOn) {
    const std::vector<uint8_t> data = pattern(0, 8192, 7);
    pdu cmd = cdb10(c_, 0x2A, 0, 16, 0xA0);
    ASSERT_TRUE(c_.send(cmd));
    pdu r2t = c_.expect();
    ASSERT_EQ(r2t.opcode(), 0x31);
    c_.cmd_sn += 50; // a NOP-Out here does not move the window the write reported
    ASSERT_TRUE(c_.send(c_.nop_out(k_no_tag)));
    ASSERT_TRUE(c_.send(c_.nop_out(0x66, {9, 8, 7})));
    pdu nop_in = c_.expect();
    pdu want;
    want.hdr = {0x20, 0x80};
    want.hdr[7] = 3;
    want.set_u32(16, 0x66);
    want.set_u32(20, k_no_tag);
    want.set_u32(24, r2t.stat_sn());
    want.set_u32(28, r2t.exp_cmd_sn());
    want.set_u32(32, r2t.max_cmd_sn());
    EXPECT_EQ(nop_in.hdr, want.hdr);
    EXPECT_EQ(nop_in.data, std::vector<uint8_t>({9, 8, 7}));
    send_burst(c_, cmd.itt(), r2t.ttt(), data, 0, 8192);
    pdu done = c_.expect();
    EXPECT_EQ(done.opcode(), 0x21);
    EXPECT_EQ(done.stat_sn(), r2t.stat_sn() + 1);
    EXPECT_EQ(c_.read10(0, 16), data);
}

// Initiators with a queue depth above one send further commands while a write waits for
// its data: they are kept and run, in arrival order, once the write is answered.
TEST_F(ReadWrite, CommandsArrivingDuringTheDataPhaseRunAfterTheWriteInOrder) {
    const std::vector<uint8_t> data = pattern(0, 1 << 20, 8);
    pdu write = cdb10(c_, 0x2A, 0, 2048, 0xA0);
    ASSERT_TRUE(c_.send(write));
    pdu r2t = c_.expect();
    ASSERT_EQ(r2t.opcode(), 0x31);

    const pdu read = cdb10(c_, 0x28, 2040, 8, 0xC0); // the write's last 4096 bytes
    const pdu tur = c_.scsi_command({0x00}, 0, 0x80);
    ASSERT_TRUE(c_.send(read));
    ASSERT_TRUE(c_.send(tur));
    EXPECT_TRUE(c_.silent_for(300));
    // Data for no command at all is rejected; the write goes on.
    ASSERT_TRUE(c_.send(c_.data_out(0x7777, 0, 0, 0, {1, 2, 3, 4}, true)));
    pdu reject = c_.expect();
    EXPECT_EQ(reject.opcode(), 0x3F);
    EXPECT_EQ(reject.hdr[2], 0x04);

    for (uint32_t burst = 0;; ++burst) {
        send_burst(c_, write.itt(), r2t.ttt(), data, burst * 262144, (burst + 1) * 262144);
        if (burst == 3) break;
        r2t = c_.expect();
        ASSERT_EQ(r2t.opcode(), 0x31);
    }
    pdu done = c_.expect();
    EXPECT_EQ(done.opcode(), 0x21);
    EXPECT_EQ(done.itt(), write.itt());

    pdu in = c_.expect();
    EXPECT_EQ(in.opcode(), 0x25);
    EXPECT_EQ(in.itt(), read.itt());
    EXPECT_EQ(in.flags(), 0x81);
    EXPECT_EQ(in.exp_cmd_sn(), read.u32(24) + 1) << "the window moves when it runs";
    EXPECT_EQ(in.data, std::vector<uint8_t>(data.end() - 4096, data.end()));
    pdu good = c_.expect();
    EXPECT_EQ(good.opcode(), 0x21);
    EXPECT_EQ(good.itt(), tur.itt());
    EXPECT_EQ(good.exp_cmd_sn(), tur.u32(24) + 1);
}

// A kept WRITE keeps its own unsolicited Data-Out and gets its own R2T when it runs.
TEST_F(ReadWrite, AKeptWriteKeepsItsUnsolicitedDataAndGetsItsOwnR2T) {
    const std::vector<uint8_t> first = pattern(0, 8192, 9);
    const std::vector<uint8_t> second = pattern(65536, 4096, 10);
    pdu a = cdb10(c_, 0x2A, 0, 16, 0xA0);
    ASSERT_TRUE(c_.send(a));
    pdu r2t = c_.expect();
    ASSERT_EQ(r2t.opcode(), 0x31);

    pdu b = cdb10(c_, 0x2A, 128, 8, 0x20); // F clear: unsolicited Data-Out follows
    b.data.assign(second.begin(), second.begin() + 1024);
    ASSERT_TRUE(c_.send(b));
    // Its unsolicited data, sent with an offset inside A's range too: it must stay B's.
    ASSERT_TRUE(c_.send(c_.data_out(b.itt(), k_no_tag, 0, 1024,
                                    {second.begin() + 1024, second.begin() + 2048}, true)));
    send_burst(c_, a.itt(), r2t.ttt(), first, 0, 8192, 4096);
    pdu done = c_.expect();
    ASSERT_EQ(done.opcode(), 0x21);
    EXPECT_EQ(done.itt(), a.itt());

    pdu r2t_b = c_.expect();
    ASSERT_EQ(r2t_b.opcode(), 0x31);
    EXPECT_EQ(r2t_b.itt(), b.itt());
    EXPECT_EQ(r2t_b.u32(36), 0u);
    EXPECT_EQ(r2t_b.buffer_offset(), 2048u);
    EXPECT_EQ(r2t_b.desired_length(), 2048u);
    send_burst(c_, b.itt(), r2t_b.ttt(), second, 2048, 4096);
    done = c_.expect();
    EXPECT_EQ(done.opcode(), 0x21);
    EXPECT_EQ(done.itt(), b.itt());
    EXPECT_EQ(done.hdr[3], 0);

    EXPECT_EQ(c_.read10(0, 16), first);
    EXPECT_EQ(c_.read10(128, 8), second);
}

TEST_F(ReadWrite, UnsolicitedDataOutIsTakenBeforeAnyR2T) {
    const std::vector<uint8_t> data = pattern(0, 16384, 11);
    pdu cmd = cdb10(c_, 0x2A, 0, 32, 0x20); // F clear, no immediate data
    ASSERT_TRUE(c_.send(cmd));
    EXPECT_TRUE(c_.silent_for(200)) << "no R2T while unsolicited data is announced";
    send_burst(c_, cmd.itt(), k_no_tag, data, 0, 8192, 4096);
    pdu r2t = c_.expect();
    ASSERT_EQ(r2t.opcode(), 0x31);
    EXPECT_EQ(r2t.buffer_offset(), 8192u);
    EXPECT_EQ(r2t.desired_length(), 8192u);
    send_burst(c_, cmd.itt(), r2t.ttt(), data, 8192, 16384);
    EXPECT_EQ(c_.expect().opcode(), 0x21);
    EXPECT_EQ(c_.read10(0, 32), data);
}

TEST_F(ReadWrite, AnyOtherRequestDuringTheDataPhaseEndsTheConnection) {
    pdu cmd = cdb10(c_, 0x2A, 0, 16, 0xA0);
    ASSERT_TRUE(c_.send(cmd));
    ASSERT_EQ(c_.expect().opcode(), 0x31);
    pdu text;
    text.hdr = {0x04, 0x80};
    text.data = kv_text({"SendTargets=All"});
    ASSERT_TRUE(c_.send(text));
    EXPECT_TRUE(c_.closed_within());
}

// DataPDUInOrder=Yes: data at any offset but the next expected one (beyond the range, a
// duplicate) fails the write instead of leaving a hole behind a GOOD; nothing lands.
TEST_F(ReadWrite, DataOutAtAnyButTheNextOffsetFailsTheWriteAndLandsNowhere) {
    std::vector<uint8_t> s;
    pdu cmd = cdb10(c_, 0x2A, 0, 8, 0xA0);
    ASSERT_TRUE(c_.send(cmd));
    pdu r2t = c_.expect();
    ASSERT_TRUE(c_.send(
        c_.data_out(cmd.itt(), r2t.ttt(), 0, 4096, std::vector<uint8_t>(4096, 0x3C), true)));
    const std::vector<uint8_t> offset_error = fixed_sense(0xB, 0x4B, 0x05);
    pdu answer = c_.expect();
    EXPECT_EQ(answer.hdr[3], 0x02);
    EXPECT_EQ(std::vector<uint8_t>(answer.data.begin() + 2, answer.data.end()), offset_error);
    EXPECT_EQ(c_.read10(0, 16), std::vector<uint8_t>(8192, 0)) << "nothing landed past block 8";

    cmd = cdb10(c_, 0x2A, 0, 16, 0xA0);
    ASSERT_TRUE(c_.send(cmd));
    r2t = c_.expect();
    const std::vector<uint8_t> half(4096, 0x4D);
    ASSERT_TRUE(c_.send(c_.data_out(cmd.itt(), r2t.ttt(), 0, 0, half, false)));
    ASSERT_TRUE(c_.send(c_.data_out(cmd.itt(), r2t.ttt(), 1, 0, half, true))); // duplicate
    answer = c_.expect();
    EXPECT_EQ(answer.hdr[3], 0x02);
    EXPECT_EQ(std::vector<uint8_t>(answer.data.begin() + 2, answer.data.end()), offset_error);
}

// On a disk of more than 4 GiB a (16) transfer can be in range and still too large for
// the 32-bit data path: refused, nothing read or written.
class LargeDisk : public ReadWrite {
  protected:
    void SetUp() override {
        serve(5ull << 30);
        c_.login_normal();
    }
};

TEST_F(LargeDisk, SixteenByteTransfersOf4GiBOrMoreAreRefused) {
    std::vector<uint8_t> s;
    EXPECT_EQ(status_of(cdb16(c_, 0x88, 0, 8388608, 0xC0), &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x24));
    pdu w = cdb16(c_, 0x8A, 0, 8388608, 0xA0);
    w.data.assign(512, 0x77);
    EXPECT_EQ(status_of(w, &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x24));
    EXPECT_TRUE(c_.silent_for(200)) << "no R2T for a refused write";
    EXPECT_EQ(c_.read10(0, 1), std::vector<uint8_t>(512, 0));

    // Just below the limit the range decides; near the end of the disk it is in range.
    const uint64_t last = (5ull << 30) / 512 - 1;
    EXPECT_EQ(c_.run(cdb16(c_, 0x88, last, 1, 0xC0)).size(), 512u);
    EXPECT_EQ(status_of(cdb16(c_, 0x88, last, 8388607, 0xC0), &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x5, 0x21));
}

// 130 chunks of disk on a full file system: chunk 0 written (dirty), chunks 1 to 127 read,
// so that a write to chunk 128 needs chunk 0's slot, whose write-back fails.
class WriteOnFullDisk : public ReadWrite {
  protected:
    void SetUp() override {
        if (!fs_.ok()) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
        serve(130ull << 21, fs_.file("disk.img"));
        ASSERT_TRUE(fs_.fill());
        c_.login_normal();
    }
    void TearDown() override {
        RawTargetTest::TearDown();
        fs_.unfill();
    }
    tmpfs_dir fs_{1 << 20};
};

TEST_F(WriteOnFullDisk, AWriteTheCacheCannotTakeIsAMediumError) {
    constexpr uint32_t k_chunk_blocks = 4096;
    ASSERT_EQ(c_.write10(0, pattern(0, 512, 12), 512), 0);
    for (uint32_t chunk = 1; chunk < 128; ++chunk)
        ASSERT_EQ(c_.read10(chunk * k_chunk_blocks, 1).size(), 512u);

    std::vector<uint8_t> s;
    pdu w = cdb10(c_, 0x2A, 128 * k_chunk_blocks, 1, 0xA0);
    w.data = pattern(0, 512, 13);
    EXPECT_EQ(status_of(w, &s), 0x02);
    EXPECT_EQ(s, fixed_sense(0x3, 0x0C));
    // Through R2T as well: the data phase still runs to its end before the answer.
    EXPECT_EQ(c_.write10(129 * k_chunk_blocks, pattern(0, 8192, 14)), 0x02);
    EXPECT_EQ(c_.read10(0, 1), pattern(0, 512, 12)) << "the dirty chunk is still cached";
}

} // namespace
