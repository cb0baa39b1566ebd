// SCSI command execution: identity pages, capacity, mode and sense data, allocation-length
// cuts, refusals with their sense bytes, and the cache synchronisation.
#include <gtest/gtest.h>

#include "norvaled.h"
#include "support/pdu_client.h"

namespace {

class Scsi : public RawTargetTest {
  protected:
    void SetUp() override {
        RawTargetTest::SetUp();
        c_.login_normal();
    }
    // The data of a command that must end GOOD.
    std::vector<uint8_t> data(std::initializer_list<uint8_t> cdb, uint32_t edtl = 255) {
        return c_.run(c_.scsi_command(cdb, edtl));
    }
    // The sense bytes of a command that must end CHECK CONDITION.
    std::vector<uint8_t> sense_of(std::initializer_list<uint8_t> cdb, uint32_t edtl = 255) {
        uint8_t status = 0xFF;
        std::vector<uint8_t> sense;
        c_.run(c_.scsi_command(cdb, edtl), &status, &sense);
        EXPECT_EQ(status, 0x02);
        return sense;
    }
};

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<uint8_t> k_standard_inquiry =
    cat({0x00, 0x00, 0x05, 0x02, 0x1F, 0x00, 0x00, 0x00}, bytes("VELMORAK"
                                                                "NORVALED        "
                                                                "1.0 "));

TEST_F(Scsi, StandardInquiryIsCutToTheAllocationLengthOrTheTransferLength) {
    EXPECT_EQ(data({0x12, 0, 0, 0, 36, 0}), k_standard_inquiry);
    EXPECT_EQ(data({0x12, 0, 0x83, 0, 36, 0}), k_standard_inquiry) << "EVPD 0: page ignored";

    // A cut answer is one final Data-In of the first bytes, with no residual.
    ASSERT_TRUE(c_.send(c_.scsi_command({0x12, 0, 0, 0, 5, 0}, 36)));
    pdu p = c_.expect();
    EXPECT_EQ(p.opcode(), 0x25);
    EXPECT_EQ(p.flags(), 0x81);
    EXPECT_EQ(p.u32(44), 0u);
    EXPECT_EQ(p.data,
              std::vector<uint8_t>(k_standard_inquiry.begin(), k_standard_inquiry.begin() + 5));

    EXPECT_EQ(data({0x12, 0, 0, 0, 0, 0}, 96), k_standard_inquiry) << "0: the EDTL counts";
    // Nothing to send at all: a SCSI Response, never a Data-In without data.
    ASSERT_TRUE(c_.send(c_.scsi_command({0x12, 0, 0, 0, 0, 0}, 0)));
    p = c_.expect();
    EXPECT_EQ(p.opcode(), 0x21);
    EXPECT_EQ(p.hdr[3], 0x00);
    EXPECT_EQ(p.data_len(), 0u);
}

TEST_F(Scsi, VitalProductDataPagesAndAnUnsupportedPage) {
    EXPECT_EQ(data({0x12, 1, 0x00, 0, 255, 0}),
              std::vector<uint8_t>({0x00, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83}));
    EXPECT_EQ(data({0x12, 1, 0x80, 0, 255, 0}),
              cat({0x00, 0x80, 0x00, 0x10}, bytes("VKNV000000000001")));
    EXPECT_EQ(data({0x12, 1, 0x83, 0, 255, 0}),
              cat({0x00, 0x83, 0x00, 0x1C, 0x01, 0x01, 0x00, 0x18}, bytes("VELMORAK"
                                                                          "VKNV000000000001")));
    EXPECT_EQ(data({0x12, 1, 0x80, 0, 6, 0}),
              std::vector<uint8_t>({0x00, 0x80, 0x00, 0x10, 'V', 'K'}));

    // Block limits (0xB0) is not served: the whole SCSI Response, byte for byte.
    ASSERT_TRUE(c_.send(c_.scsi_command({0x12, 1, 0xB0, 0, 255, 0}, 255)));
    pdu p = c_.expect();
    pdu want;
    want.hdr = {0x21, 0x80, 0x00, 0x02};
    want.hdr[7] = 20;
    want.set_u32(16, p.itt());
    want.set_u32(24, p.stat_sn());
    want.set_u32(28, c_.cmd_sn);
    want.set_u32(32, c_.cmd_sn + 31);
    EXPECT_EQ(p.hdr, want.hdr);
    EXPECT_EQ(p.data, cat({0x00, 0x12}, fixed_sense(0x5, 0x24)));
}

TEST_F(Scsi, CapacityAndModeSenseDescribeA512ByteBlockDiskWithNoPages) {
    EXPECT_EQ(data({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              std::vector<uint8_t>({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}));
    std::vector<uint8_t> rc16(32, 0);
    rc16[5] = 0x01;
    rc16[6] = rc16[7] = 0xFF;
    rc16[10] = 0x02;
    EXPECT_EQ(data({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}), rc16);
    EXPECT_EQ(data({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0}),
              std::vector<uint8_t>(rc16.begin(), rc16.begin() + 12));
    EXPECT_EQ(data({0x9E, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}), std::vector<uint8_t>())
        << "another service action: GOOD without data";

    EXPECT_EQ(data({0x1A, 0, 0x3F, 0, 255, 0}), std::vector<uint8_t>({0x03, 0, 0, 0}));
    EXPECT_EQ(data({0x1A, 0x08, 0x0A, 0, 2, 0}), std::vector<uint8_t>({0x03, 0}));
    EXPECT_EQ(data({0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 255, 0}),
              std::vector<uint8_t>({0x00, 0x07, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Scsi, SenseLunsAndTheCommandsThatOnlyAnswerGood) {
    EXPECT_EQ(data({0x03, 0, 0, 0, 18, 0}), fixed_sense(0, 0));
    EXPECT_EQ(data({0x03, 0, 0, 0, 0, 0}, 18), std::vector<uint8_t>()) << "0 means no data";

    pdu luns = c_.scsi_command({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 16);
    luns.hdr[9] = 5; // addressed to LUN 5: still the one LUN 0
    std::vector<uint8_t> one_lun(16, 0);
    one_lun[3] = 0x08;
    EXPECT_EQ(c_.run(luns), one_lun);

    for (uint8_t op : {0x00, 0x1B, 0x2F}) // TEST UNIT READY, START STOP UNIT, VERIFY (10)
        EXPECT_EQ(data({op, 0, 0, 0, 0, 0, 0, 0, 1, 0}), std::vector<uint8_t>()) << int(op);
}

TEST_F(Scsi, UnknownOperationCodesAreRefusedAndTheConnectionGoesOn) {
    EXPECT_EQ(sense_of({0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}), fixed_sense(0x5, 0x20));
    EXPECT_EQ(sense_of({0x42, 0, 0, 0, 0, 0, 0, 0, 24, 0}), fixed_sense(0x5, 0x20)); // UNMAP
    EXPECT_EQ(data({0x00}), std::vector<uint8_t>());
}

TEST_F(Scsi, SynchronizeCacheWritesTheCacheBackToTheImage) {
    const std::vector<uint8_t> block = pattern(4096, 512, 7);
    ASSERT_EQ(c_.write10(8, block, 512), 0);
    EXPECT_NE(read_at(image_, 4096, 512), block);
    EXPECT_EQ(data({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}), std::vector<uint8_t>());
    EXPECT_EQ(read_at(image_, 4096, 512), block);

    const std::vector<uint8_t> other = pattern(1 << 21, 512, 8);
    ASSERT_EQ(c_.write10(4096, other, 512), 0);
    EXPECT_EQ(data({0x91, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), std::vector<uint8_t>());
    EXPECT_EQ(read_at(image_, 1 << 21, 512), other);
}

// The image on a full file system: every write-back fails.
class ScsiOnFullDisk : public Scsi {
  protected:
    void SetUp() override {
        if (!fs_.ok()) GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
        serve(k_raw_disk_size, fs_.file("disk.img"));
        ASSERT_TRUE(fs_.fill());
        c_.login_normal();
    }
    void TearDown() override {
        RawTargetTest::TearDown();
        fs_.unfill();
    }
    tmpfs_dir fs_{1 << 20};
};

TEST_F(ScsiOnFullDisk, SynchronizeCacheThatCannotWriteBackIsAMediumError) {
    ASSERT_EQ(c_.write10(0, pattern(0, 512, 3), 512), 0);
    EXPECT_EQ(sense_of({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}), fixed_sense(0x3, 0x0C));
    EXPECT_EQ(sense_of({0x91, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              fixed_sense(0x3, 0x0C));
    EXPECT_EQ(c_.read10(0, 1), pattern(0, 512, 3)) << "the data stays in the cache";
}

} // namespace
