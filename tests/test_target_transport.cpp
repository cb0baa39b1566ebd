// PDU framing, the small requests answered by the transport itself, sequence numbers and
// the one-connection-at-a-time server, byte for byte over a raw socket.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "support/pdu_client.h"

namespace {

using Transport = RawTargetTest;

// The header every status-carrying answer of these tests must equal, byte for byte.
pdu answer(uint8_t op, uint32_t itt, uint32_t ttt, uint32_t stat_sn, uint32_t exp, uint32_t max) {
    pdu p;
    p.hdr[0] = op;
    p.hdr[1] = 0x80;
    p.set_u32(16, itt);
    p.set_u32(20, ttt);
    p.set_u32(24, stat_sn);
    p.set_u32(28, exp);
    p.set_u32(32, max);
    return p;
}

pdu with_data_len(pdu p, uint32_t len) {
    p.hdr[5] = static_cast<uint8_t>(len >> 16);
    p.set_u16(6, len);
    return p;
}

TEST_F(Transport, NopOutIsAnsweredOnlyWithARealTaskTagAndEchoesPaddedData) {
    c_.cmd_sn = 5;
    ASSERT_TRUE(c_.send(c_.nop_out(k_no_tag))); // a reply to a ping nobody sent: no answer
    EXPECT_TRUE(c_.silent_for(300));

    pdu ping = c_.nop_out(0x11, {'h', 'e', 'l', 'l', 'o'});
    for (int i = 8; i < 16; ++i)
        ping.hdr[i] = static_cast<uint8_t>(i); // the LUN comes back as sent
    ASSERT_TRUE(c_.send(ping));
    pdu p = c_.expect();
    pdu want = with_data_len(answer(0x20, 0x11, k_no_tag, 1, 5, 36), 5);
    for (int i = 8; i < 16; ++i)
        want.hdr[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(p.hdr, want.hdr);
    EXPECT_EQ(p.text(), "hello");
    EXPECT_EQ(p.pad, std::vector<uint8_t>(3, 0));
}

TEST_F(Transport, StrayDataOutAndUnknownOpcodesAreRejectedAndTheConnectionGoesOn) {
    c_.cmd_sn = 40;
    ASSERT_TRUE(c_.send(c_.nop_out(0x21))); // immediate: ExpCmdSN 40
    ASSERT_EQ(c_.expect().stat_sn(), 1u);

    pdu stray = c_.data_out(0x99, 0x1234, 0, 0, std::vector<uint8_t>(12, 0xAB), true);
    pdu snack;
    snack.hdr[0] = 0x10; // SNACK: not served
    snack.set_u32(16, 0x55);
    pdu vendor;
    vendor.hdr[0] = 0x1C; // a vendor-specific request opcode
    vendor.hdr[1] = 0x80;
    vendor.set_u32(24, 0x77777777); // a Reject does not move the window
    uint32_t stat_sn = 2;
    for (const pdu& bad : {stray, snack, vendor}) {
        ASSERT_TRUE(c_.send(bad));
        pdu p = c_.expect();
        pdu want = with_data_len(answer(0x3F, k_no_tag, 0, stat_sn++, 40, 71), 48);
        want.hdr[2] = 0x04; // protocol error
        EXPECT_EQ(p.hdr, want.hdr);
        // The rejected header comes back with its DataSegmentLength as it was sent.
        pdu sent = with_data_len(bad, static_cast<uint32_t>(bad.data.size()));
        EXPECT_EQ(p.data, std::vector<uint8_t>(sent.hdr.begin(), sent.hdr.end()));
    }
    ASSERT_TRUE(c_.send(c_.nop_out(0x22)));
    pdu p = c_.expect();
    EXPECT_EQ(p.opcode(), 0x20);
    EXPECT_EQ(p.stat_sn(), 5u);
}

TEST_F(Transport, TaskManagementIsAnsweredFunctionComplete) {
    pdu tmf;
    tmf.hdr[0] = 0x42; // immediate Task Management Function Request
    tmf.hdr[1] = 0x81; // ABORT TASK
    tmf.set_u32(16, 0x31);
    tmf.set_u32(20, 0x30); // referenced task tag
    tmf.set_u32(24, 9);
    ASSERT_TRUE(c_.send(tmf));
    EXPECT_EQ(c_.expect().hdr, answer(0x22, 0x31, 0, 1, 9, 40).hdr);
}

TEST_F(Transport, LogoutIsAnsweredThenClosedAndTheNextConnectionIsServed) {
    c_.login_normal();
    pdu logout;
    logout.hdr[0] = 0x46;
    logout.hdr[1] = 0x80; // close the session
    logout.set_u32(16, 0x44);
    logout.set_u32(24, c_.cmd_sn);
    ASSERT_TRUE(c_.send(logout));
    EXPECT_EQ(c_.expect().hdr, answer(0x26, 0x44, 0, 3, c_.cmd_sn, c_.cmd_sn + 31).hdr);
    EXPECT_TRUE(c_.closed_within());

    pdu_client next(port_);
    ASSERT_TRUE(next.send(next.nop_out(0x45)));
    EXPECT_EQ(next.expect().stat_sn(), 1u) << "a new connection starts again at StatSN 1";
}

TEST_F(Transport, ASecondConnectionWaitsUntilTheFirstEnds) {
    ASSERT_TRUE(c_.send(c_.nop_out(1)));
    ASSERT_EQ(c_.expect().opcode(), 0x20);

    pdu_client second(port_); // accepted by the kernel, not yet by the target
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(second.send(second.nop_out(2)));
    EXPECT_TRUE(second.silent_for(500));

    c_.close();
    pdu p = second.expect();
    EXPECT_EQ(p.opcode(), 0x20);
    EXPECT_EQ(p.itt(), 2u);
}

TEST_F(Transport, APeerThatClosesInsideADataSegmentGetsNoAnswer) {
    pdu nop = c_.nop_out(3, std::vector<uint8_t>(1000, 0x5A));
    nop.hdr[5] = 0;
    nop.set_u16(6, 1000);
    ASSERT_TRUE(c_.send_raw(nop.hdr.data(), nop.hdr.size()));
    ASSERT_TRUE(c_.send_raw(nop.data.data(), 10)); // 990 bytes short
    ::shutdown(static_cast<int>(c_.sock()), SHUT_WR);
    EXPECT_TRUE(c_.closed_within()) << "closed without a NOP-In";

    pdu_client next(port_);
    ASSERT_TRUE(next.send(next.nop_out(4)));
    EXPECT_EQ(next.expect().itt(), 4u);
}

TEST_F(Transport, AnAdditionalHeaderSegmentIsSkipped) {
    pdu nop = c_.nop_out(6, {1, 2, 3, 4});
    nop.hdr[4] = 2; // TotalAHSLength: two 4-byte words between header and data
    std::vector<uint8_t> wire(nop.hdr.begin(), nop.hdr.end());
    wire[7] = 4;
    wire.insert(wire.end(), {0, 4, 0x01, 0, 0xA1, 0xA2, 0xA3, 0xA4}); // an AHS
    wire.insert(wire.end(), {1, 2, 3, 4});
    ASSERT_TRUE(c_.send_raw(wire.data(), wire.size()));
    pdu p = c_.expect();
    EXPECT_EQ(p.itt(), 6u);
    EXPECT_EQ(p.data, std::vector<uint8_t>({1, 2, 3, 4}));

    ASSERT_TRUE(c_.send(c_.nop_out(7))); // the framing held
    EXPECT_EQ(c_.expect().itt(), 7u);
}

// ExpCmdSN follows RFC 7143: an immediate request does not consume its CmdSN; MaxCmdSN
// keeps a 32-command window; StatSN counts every status-carrying answer from 1.
TEST_F(Transport, SequenceNumbersFollowTheImmediateFlagAndWrapAround) {
    struct step {
        uint32_t cmd_sn;
        bool immediate;
        uint32_t exp, max;
    };
    const step steps[] = {
        {0xFFFFFFFF, false, 0, 31},
        {0xFFFFFFFF, true, 0xFFFFFFFF, 30},
        {0, false, 1, 32},
        {0xFFFFFFE0, false, 0xFFFFFFE1, 0},
    };
    uint32_t stat_sn = 1;
    for (const step& s : steps) {
        c_.cmd_sn = s.cmd_sn;
        pdu tur = c_.scsi_command({0x00}, 0, 0x80); // TEST UNIT READY
        if (s.immediate) tur.hdr[0] |= 0x40;
        ASSERT_TRUE(c_.send(tur));
        pdu p = c_.expect();
        EXPECT_EQ(p.opcode(), 0x21);
        EXPECT_EQ(p.stat_sn(), stat_sn++);
        EXPECT_EQ(p.exp_cmd_sn(), s.exp) << std::hex << s.cmd_sn << " immediate " << s.immediate;
        EXPECT_EQ(p.max_cmd_sn(), s.max);
    }
    // An unanswered NOP-Out moves the window too; the next Reject carries it as kept.
    c_.cmd_sn = 0x100;
    pdu nop = c_.nop_out(k_no_tag);
    nop.hdr[0] = 0x00; // not immediate: CmdSN 0x100 is taken
    ASSERT_TRUE(c_.send(nop));
    ASSERT_TRUE(c_.send(c_.data_out(1, 1, 0, 0, {}, true)));
    pdu reject = c_.expect();
    EXPECT_EQ(reject.opcode(), 0x3F);
    EXPECT_EQ(reject.stat_sn(), stat_sn);
    EXPECT_EQ(reject.exp_cmd_sn(), 0x101u);
    EXPECT_EQ(reject.max_cmd_sn(), 0x120u);
}

// A stop must not wait for an initiator that holds the connection, even inside a write's
// data phase: the connection is ended, the write stays unanswered, the cache is freed safely.
TEST_F(Transport, AStopEndsAConnectionWaitingInsideADataPhase) {
    c_.login_normal();
    ASSERT_TRUE(c_.send(c_.scsi_command({0x2A, 0, 0, 0, 0, 0, 0, 0, 16, 0}, 8192, 0xA0)));
    ASSERT_EQ(c_.expect().opcode(), 0x31);
    EXPECT_EQ(stop_mock_target(), 0);
    port_ = 0; // stopped already
    EXPECT_TRUE(c_.closed_within());
}

} // namespace
