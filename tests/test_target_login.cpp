// Login and discovery negotiation: the answer lists byte for byte, flags, TSIH, the refusal
// of a foreign target name, MaxRecvDataSegmentLength bounds and SendTargets.
#include <gtest/gtest.h>

#include "norvaled.h"
#include "support/pdu_client.h"
#include "iscsi/conn.h"

namespace {

using Login = RawTargetTest;

const std::vector<std::string> k_normal_operational = {
    "TargetPortalGroupTag=1", "HeaderDigest=None",
    "DataDigest=None",        "MaxRecvDataSegmentLength=262144",
    "InitialR2T=No",          "ImmediateData=Yes",
    "FirstBurstLength=65536", "MaxBurstLength=262144",
    "MaxOutstandingR2T=1",    "MaxConnections=1",
    "DataPDUInOrder=Yes",     "DataSequenceInOrder=Yes",
    "ErrorRecoveryLevel=0",   "DefaultTime2Wait=2",
    "DefaultTime2Retain=0",
};
const std::vector<std::string> k_discovery_operational = {"HeaderDigest=None", "DataDigest=None",
                                                          "MaxRecvDataSegmentLength=262144"};

// The Login Response header for a request with these flags, ITT and CmdSN.
pdu login_answer(uint8_t flags, uint32_t itt, uint32_t stat_sn, uint32_t cmd_sn, uint16_t tsih,
                 uint32_t data_len) {
    pdu p;
    p.hdr = {0x23, flags};
    p.hdr[7] = static_cast<uint8_t>(data_len);
    p.hdr[6] = static_cast<uint8_t>(data_len >> 8);
    const uint8_t isid[6] = {0x80, 0x12, 0x34, 0x56, 0x78, 0x9A};
    std::copy(std::begin(isid), std::end(isid), p.hdr.begin() + 8);
    p.set_u16(14, tsih);
    p.set_u32(16, itt);
    p.set_u32(24, stat_sn);
    p.set_u32(28, cmd_sn); // a Login Request is immediate: its CmdSN is not consumed
    p.set_u32(32, cmd_sn + 31);
    return p;
}

TEST_F(Login, NormalLoginAnswersEachStageWithItsFixedList) {
    c_.cmd_sn = 0x10;
    ASSERT_TRUE(c_.send(c_.login_request(
        0x81, kv_text({"InitiatorName=iqn.2026-08.test:client", "SessionType=Normal",
                       "TargetName=" NORVALED_TARGET_IQN, "AuthMethod=CHAP,None"}))));
    pdu security = c_.expect();
    EXPECT_EQ(security.hdr, login_answer(0x81, 1, 1, 0x10, 0, 16).hdr);
    EXPECT_EQ(security.text(), std::string("AuthMethod=None\0", 16));

    ASSERT_TRUE(c_.send(c_.login_request(0x87, kv_text({"MaxBurstLength=1048576"}))));
    pdu operational = c_.expect();
    EXPECT_EQ(operational.hdr, login_answer(0x87, 2, 2, 0x10, 1, 307).hdr);
    EXPECT_EQ(kv_entries(operational.data), k_normal_operational);
    EXPECT_EQ(operational.pad, std::vector<uint8_t>(1, 0));

    // Full Feature Phase: SCSI commands are served.
    uint8_t status = 0xFF;
    c_.run(c_.scsi_command({0x00}, 0, 0x80), &status);
    EXPECT_EQ(status, 0);
}

TEST_F(Login, StagesWithoutTransitOrWithContinueKeepTsihZeroAndClearC) {
    ASSERT_TRUE(c_.send(c_.login_request(0x04, {}))); // operational stage, T clear
    pdu p = c_.expect();
    EXPECT_EQ(p.hdr, login_answer(0x04, 1, 1, 0, 0, 307).hdr);

    ASSERT_TRUE(c_.send(c_.login_request(0x40, {}))); // security stage, C set
    p = c_.expect();
    EXPECT_EQ(p.hdr, login_answer(0x00, 2, 2, 0, 0, 16).hdr);

    ASSERT_TRUE(c_.send(c_.login_request(0x8B, {}))); // CSG 2 to full feature: no data
    p = c_.expect();
    EXPECT_EQ(p.hdr, login_answer(0x8B, 3, 3, 0, 1, 0).hdr);
}

TEST_F(Login, DiscoveryAnswersThreeEntriesAndSendTargetsNamesThePortal) {
    ASSERT_TRUE(c_.send(c_.login_request(0x81, kv_text({"SessionType=Discovery"}))));
    EXPECT_EQ(c_.expect().data_len(), 16u);
    ASSERT_TRUE(c_.send(c_.login_request(0x87, {})));
    pdu operational = c_.expect();
    EXPECT_EQ(operational.hdr, login_answer(0x87, 2, 2, 0, 1, 66).hdr);
    EXPECT_EQ(kv_entries(operational.data), k_discovery_operational);

    const std::vector<std::string> listing = {"TargetName=" NORVALED_TARGET_IQN,
                                              "TargetAddress=127.0.0.1:" + std::to_string(port_) +
                                                  ",1"};
    uint32_t stat_sn = 3;
    for (const char* key : {"SendTargets=All", "SendTargets="}) {
        pdu text;
        text.hdr[0] = 0x04; // not immediate: takes CmdSN 7
        text.hdr[1] = 0x80;
        text.set_u32(16, 0x70 + stat_sn);
        text.set_u32(20, k_no_tag);
        text.set_u32(24, 7);
        text.data = kv_text({key});
        ASSERT_TRUE(c_.send(text));
        pdu p = c_.expect();
        pdu want;
        want.hdr = {0x24, 0x80};
        want.set_u16(6, static_cast<uint32_t>(p.data.size()));
        want.set_u32(16, 0x70 + stat_sn);
        want.set_u32(20, k_no_tag);
        want.set_u32(24, stat_sn++);
        want.set_u32(28, 8);
        want.set_u32(32, 39);
        EXPECT_EQ(p.hdr, want.hdr) << key;
        EXPECT_EQ(kv_entries(p.data), listing) << key;
    }
    pdu text;
    text.hdr = {0x44, 0x80}; // no SendTargets: an empty answer
    text.data = kv_text({"X-Vendor=1"});
    ASSERT_TRUE(c_.send(text));
    EXPECT_EQ(c_.expect().data_len(), 0u);
}

TEST_F(Login, SessionTypeIsCaseSensitiveAndTheFirstOfTwiceGivenKeysCounts) {
    ASSERT_TRUE(c_.send(c_.login_request(0x87, kv_text({"SessionType=discovery"}))));
    EXPECT_EQ(c_.expect().data_len(), 307u) << "lower case opens a normal session";

    c_.close(); // one connection at a time
    pdu_client again(port_);
    ASSERT_TRUE(again.send(
        again.login_request(0x87, kv_text({"SessionType=Discovery", "SessionType=Normal"}))));
    EXPECT_EQ(again.expect().data_len(), 66u);
}

TEST_F(Login, AForeignTargetNameIsRefusedAndTheConnectionCloses) {
    c_.cmd_sn = 0x20;
    const std::string name = "TargetName=iqn.2026-08.com.velmorak:Norvaled"; // one letter
    ASSERT_TRUE(c_.send(c_.login_request(0xC7, kv_text({"SessionType=Normal", name}))));
    pdu p = c_.expect();
    pdu want = login_answer(0x47, 1, 1, 0x20, 0, 0); // T cleared, C kept
    want.hdr[36] = 0x02;                             // initiator error
    want.hdr[37] = 0x03;                             // not found
    EXPECT_EQ(p.hdr, want.hdr);
    EXPECT_TRUE(c_.closed_within());

    // A discovery session is not checked, and the target serves the next connection.
    pdu_client next(port_);
    ASSERT_TRUE(next.send(next.login_request(0x81, kv_text({"SessionType=Discovery", name}))));
    EXPECT_EQ(next.expect().u16(36), 0u);
}

// Each value given as MaxRecvDataSegmentLength, and the Data-In segment size it leaves: a
// 16384-byte read shows the segment limit the target took.
struct dsl_case {
    const char* value;
    uint32_t segment;
    const char* name;
};
void PrintTo(const dsl_case& c, std::ostream* os) {
    *os << '"' << c.value << '"';
}

class LoginRecvDsl : public RawTargetTest, public ::testing::WithParamInterface<dsl_case> {};

TEST_P(LoginRecvDsl, LimitsDataInSegmentsWithinItsBounds) {
    const std::string key = std::string("MaxRecvDataSegmentLength=") + GetParam().value;
    ASSERT_TRUE(c_.send(c_.login_request(0x87, kv_text({key}))));
    ASSERT_EQ(c_.expect().u16(36), 0u);
    ASSERT_TRUE(c_.send(c_.scsi_command({0x28, 0, 0, 0, 0, 0, 0, 0, 32}, 16384)));
    uint32_t got = 0;
    for (pdu p; got < 16384 && c_.recv(p);) {
        ASSERT_EQ(p.opcode(), 0x25);
        EXPECT_EQ(p.data_len(), std::min(GetParam().segment, 16384 - got));
        got += p.data_len();
    }
    EXPECT_EQ(got, 16384u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, LoginRecvDsl,
    ::testing::Values(dsl_case{"511", 8192, "BelowTheLeast"}, dsl_case{"512", 512, "TheLeast"},
                      dsl_case{"16777215", 16777215, "TheMost"},
                      dsl_case{"16777216", 8192, "AboveTheMost"}, dsl_case{"0", 8192, "Zero"},
                      dsl_case{"-4096", 8192, "Negative"},
                      dsl_case{" +4096", 4096, "SpaceAndPlusSign"},
                      dsl_case{"1024bytes", 1024, "TrailingText"},
                      dsl_case{"99999999999999999999", 8192, "Overflowing"}),
    [](const ::testing::TestParamInfo<dsl_case>& info) { return std::string(info.param.name); });

// The key lookup reads nothing outside the segment (ASan guards the exact-size buffers).
TEST(KvFind, FindsTheFirstExactEntryWithinTheSegmentOnly) {
    auto find = [](const std::string& seg, const char* key) -> std::string {
        const std::vector<uint8_t> exact(seg.begin(), seg.end());
        auto v = kv_find(exact.data(), static_cast<uint32_t>(exact.size()), key);
        return v ? "[" + std::string(*v) + "]" : "none";
    };
    EXPECT_EQ(find(std::string("A=1\0AB=2\0B=\0", 12), "AB"), "[2]");
    EXPECT_EQ(find(std::string("A=1\0AB=2\0B=\0", 12), "B"), "[]");
    EXPECT_EQ(find(std::string("AB=2\0A=1\0A=3", 12), "A"), "[1]");
    EXPECT_EQ(find("Key=unterminated", "Key"), "[unterminated]");
    EXPECT_EQ(find(std::string("Key\0Key", 7), "Key"), "none");
    EXPECT_EQ(find("Ke", "Key"), "none");
    EXPECT_EQ(find("key=1", "Key"), "none");
    EXPECT_FALSE(kv_find(nullptr, 0, "Key"));
}

} // namespace
