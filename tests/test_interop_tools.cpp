// libiscsi's command-line initiators against the library's own target: discovery, the
// identity an initiator sees, and the capacity it computes from READ CAPACITY (16).
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "norvaled.h"
#include "support/run_cmd.h"
#include "support/target_fixture.h"

namespace {

constexpr uint32_t k_tool_ms = 30000;

class InitiatorTools : public target_test {
  protected:
    // Runs a libiscsi tool that must succeed; its output.
    std::string tool(std::vector<std::string> argv) {
        cmd_result r = run_cmd(argv, k_tool_ms);
        EXPECT_TRUE(r.ok()) << argv[0] << ": " << r.describe();
        return r.output;
    }
};

// iscsi-ls without -s: one discovery session (SendTargets, then logout). With -s it keeps
// that session open while it logs in again to list LUNs, which a target that serves one
// connection at a time cannot answer, so that form is not used.
TEST_P(InitiatorTools, DiscoveryListsTheOneTargetAndItsPortal) {
    const std::string listing = "Target:" NORVALED_TARGET_IQN " Portal:" + target_->portal + ",1";
    // Twice: the first discovery connection must end cleanly for the second to be served.
    for (int round = 0; round < 2; ++round) {
        const std::string out = tool({"iscsi-ls", "iscsi://" + target_->portal});
        EXPECT_NE(out.find(listing), std::string::npos) << out;
        EXPECT_EQ(out.find("Target:", out.find("Target:") + 1), std::string::npos)
            << "only one target is served: " << out;
    }
}

TEST_P(InitiatorTools, StandardInquiryShowsTheDeviceIdentity) {
    const std::string out = tool({"iscsi-inq", target_->url});
    for (const char* line :
         {"Peripheral Device Type:DIRECT_ACCESS\n", "Removable:0\n", "Vendor:VELMORAK\n",
          "Product:NORVALED        \n", "Revision:1.0 \n", "ReponseDataFormat:2\n"})
        EXPECT_NE(out.find(line), std::string::npos) << "missing \"" << line << "\" in\n" << out;
}

TEST_P(InitiatorTools, VitalProductPagesNameSerialAndDesignator) {
    const std::string pages = tool({"iscsi-inq", "-e", "1", "-c", "0", target_->url});
    EXPECT_EQ(pages, "Page:0x00 SUPPORTED_VPD_PAGES\nPage:0x80 UNIT_SERIAL_NUMBER\n"
                     "Page:0x83 DEVICE_IDENTIFICATION\n");
    const std::string serial = tool({"iscsi-inq", "-e", "1", "-c", "128", target_->url});
    EXPECT_NE(serial.find("Unit Serial Number:[VKNV000000000001]"), std::string::npos) << serial;
    const std::string ident = tool({"iscsi-inq", "-e", "1", "-c", "131", target_->url});
    EXPECT_NE(ident.find("Designator Type:(1) T10_VENDORT_ID"), std::string::npos) << ident;
    EXPECT_NE(ident.find("Designator:[VELMORAKVKNV000000000001]"), std::string::npos) << ident;
    EXPECT_EQ(ident.find("DEVICE DESIGNATOR #1"), std::string::npos) << "one descriptor: " << ident;
}

TEST_P(InitiatorTools, ReadCapacity16ReportsBlocksOfTheRoundedDisk) {
    // 3 MiB above the minimum: the disk is cut to whole 2 MiB chunks, 66 MiB.
    target_stop();
    target_ = target_start(GetParam(), k_target_image_size + (3u << 20));
    ASSERT_NE(target_, nullptr);
    const std::string out = tool({"iscsi-readcapacity16", target_->url});
    const uint64_t disk = k_target_image_size + (2u << 20);
    EXPECT_NE(out.find("RETURNED LOGICAL BLOCK ADDRESS:" + std::to_string(disk / 512 - 1) + "\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("LOGICAL BLOCK LENGTH IN BYTES:512\n"), std::string::npos) << out;
    EXPECT_NE(out.find("PROT_EN:0"), std::string::npos) << out;
    EXPECT_NE(out.find("Total size:" + std::to_string(disk) + "\n"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Backends, InitiatorTools,
                         ::testing::Values(target_backend::mock, target_backend::sftp),
                         [](const auto& info) { return std::string(backend_name(info.param)); });

} // namespace
