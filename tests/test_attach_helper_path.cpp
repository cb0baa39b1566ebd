// The mount and unmount of a process without administrator rights (forced here with
// VK_NORVALED_FORCE_UAC=1): one script, run by a fake elevated PowerShell that answers as the
// real one would, decides each result, text, stage and log line.
#include <gtest/gtest.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "norvaled.h"
#include "state/state.h"
#include "support/attach_env.h"
#include "support/cache_helpers.h"
#include "support/library_helpers.h"
#include "support/target_fixture.h"

namespace {

constexpr const char* k_helper_failed =
    "unmount failed in the elevated helper (see vk_norvaled_mount.log)";
constexpr const char* k_mount_failed =
    "mount failed in the elevated helper (see vk_norvaled_mount.log)";

class HelperPath : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(env_.ok());
        ASSERT_TRUE(env_.add_fake_powershell());
        ASSERT_EQ(setenv("VK_NORVALED_FORCE_UAC", "1", 1), 0);
    }
    void TearDown() override {
        unsetenv("NORVALED_UAC");
        target_stop();
    }

    bool script_has(const std::string& line) const {
        return env_.seen_script().find(line + "\r\n") != std::string::npos;
    }

    attach_env env_;
};

TEST_F(HelperPath, MountAndUnmountThroughOnePromptEach) {
    // No cache before the first start: nothing to flush, and nothing breaks.
    env_.answer("RC=0\r\n");
    EXPECT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
    EXPECT_TRUE(script_has("$hasletter = 0"));
    EXPECT_TRUE(script_has("$letter = '0'"));

    const target_info* t = target_start_mock();
    ASSERT_NE(t, nullptr);
    env_.answer("connected\r\ndisk=1\r\nRC=0\r\n");
    // While the helper runs without the state lock, no second mount or unmount may start
    // (it would take the claim and the letter from under this one); other calls answer.
    const std::string gate = env_.file("gate");
    ASSERT_EQ(setenv("FAKE_PS_GATE", gate.c_str(), 1), 0);
    int32_t mounted = -100;
    std::thread mounting([&] { mounted = norvaled_mount_ex('e', 1); });
    while (missing_in_order(env_.log_lines(), {"elev mount: requesting one UAC prompt"}) != "")
        usleep(10000);
    EXPECT_EQ(norvaled_unmount(), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(), "another mount or unmount is in progress");
    EXPECT_EQ(norvaled_mount_ex('F', 1), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(), "another mount or unmount is in progress");
    EXPECT_EQ(stat_value("running"), 1);
    std::ofstream(gate).put('1');
    mounting.join();
    unsetenv("FAKE_PS_GATE");
    ASSERT_EQ(mounted, 0) << norvaled_last_error();
    EXPECT_STREQ(norvaled_last_error(), "");
    EXPECT_EQ(g_mounted_letter, 'E');
    EXPECT_EQ(stat_value("last_mount_formatted"), 1);
    EXPECT_EQ(stat_value("svc_state_mode"), 0);
    const std::string port = std::to_string(t->port);
    EXPECT_EQ(env_.seen_script().rfind("$res = '", 0), 0u);
    for (const std::string& line :
         {std::string("$iqn = '" NORVALED_TARGET_IQN "'"), std::string("$letter = 'E'"),
          std::string("$hasdata = 0"), std::string("$rc = -9")})
        EXPECT_TRUE(script_has(line)) << line;
    EXPECT_NE(env_.seen_script().find("-TargetPortalPortNumber " + port + " -Authentication"),
              std::string::npos);

    env_.answer("start sessions=1 devnodes=1\r\nsession cleared\r\nRC=0\r\n");
    EXPECT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
    EXPECT_EQ(g_mounted_letter, 0);
    EXPECT_EQ(stat_value("last_unmount_stage"), 7);
    EXPECT_TRUE(script_has("$hasletter = 1"));
    EXPECT_TRUE(script_has("$letter = 'E'"));
    EXPECT_NE(env_.seen_script().find("-TargetPortalPortNumber " + port +
                                      " -Confirm:$false -ErrorAction"),
              std::string::npos);

    target_stop();
    env_.answer("RC=0\r\n");
    EXPECT_EQ(norvaled_unmount(), 0) << norvaled_last_error();

    EXPECT_EQ(
        missing_in_order(
            env_.log_lines(),
            {"S1 (non-elevated) cache flush rc=-7 dirty=0 letter=-",
             "unmount: process is NOT elevated — starting the one-UAC helper (letter=-)",
             "elev unmount: requesting one UAC prompt", "elev unmount | RC=0",
             "unmount: elevated helper SUCCESS", "disk_state=0 allow_format=1",
             "mount: process is NOT elevated — starting the one-UAC helper (letter=E has_data=0)",
             "elev mount | connected", "elev mount | disk=1", "elev mount | RC=0",
             "mount: elevated helper SUCCESS letter=E",
             "S1 (non-elevated) cache flush rc=0 dirty=0 letter=E",
             "unmount: process is NOT elevated — starting the one-UAC helper (letter=E)",
             "elev unmount | session cleared", "unmount: elevated helper SUCCESS",
             "S1 (non-elevated) cache flush rc=-7 dirty=0 letter=-"}),
        "");
}

// Every answer other than RC=0 fails; only a verdict (RC=0 or RC=-12) means the script got
// as far as dismounting, so without one the letter stays for a retry to dismount.
TEST_F(HelperPath, FailuresGiveTheirCodesTextsAndStages) {
    const target_info* t = target_start_mock();
    ASSERT_NE(t, nullptr);

    // A first sector that cannot be read is no licence to format: nothing runs.
    ASSERT_TRUE(make_mock_image_unreadable(t->image_path));
    EXPECT_EQ(norvaled_disk_state(), NORVALED_E_SSH);
    EXPECT_STREQ(norvaled_last_error(), "cannot read the disk's first sector");
    env_.answer("RC=0\r\n");
    EXPECT_EQ(norvaled_mount('K'), NORVALED_E_SSH);
    EXPECT_EQ(norvaled_mount_ex('K', 1), NORVALED_E_SSH);
    EXPECT_STREQ(norvaled_last_error(), "cannot read the disk's first sector");
    EXPECT_EQ(env_.seen_script(), "");
    ASSERT_TRUE(make_mock_image_readable(t->image_path));

    env_.answer("no NORVALED devnode after login\r\nRC=-9\r\n");
    EXPECT_EQ(norvaled_mount_ex('K', 1), NORVALED_E_MOUNT);
    EXPECT_STREQ(norvaled_last_error(), k_mount_failed);
    setenv("NORVALED_UAC", "decline", 1);
    EXPECT_EQ(norvaled_mount_ex('K', 1), NORVALED_E_MOUNT);
    EXPECT_STREQ(norvaled_last_error(), k_mount_failed);
    EXPECT_EQ(g_mounted_letter, 0);
    EXPECT_EQ(stat_value("last_mount_formatted"), -1);
    unsetenv("NORVALED_UAC");

    env_.answer("RC=0\r\n");
    ASSERT_EQ(norvaled_mount_ex('K', 1), 0) << norvaled_last_error();

    struct unmount_case {
        const char* answer;
        bool decline;
        const char* text;
        char letter_after;
    };
    const unmount_case cases[] = {
        {"fatal something\r\n", false, k_helper_failed, 'K'},
        {"RC=0\r\n", true, k_helper_failed, 'K'},
        {"RC=\r\n", false, k_helper_failed, 'K'},
        {"session still logged in (1)\r\nRC=-12\r\n", false,
         "unmount incomplete: the iSCSI session is still logged in (close any open file and "
         "retry)",
         0},
    };
    for (const unmount_case& c : cases) {
        SCOPED_TRACE(c.answer);
        env_.answer(c.answer);
        if (c.decline) setenv("NORVALED_UAC", "decline", 1);
        EXPECT_EQ(norvaled_unmount(), NORVALED_E_UNMOUNT);
        unsetenv("NORVALED_UAC");
        EXPECT_STREQ(norvaled_last_error(), c.text);
        EXPECT_EQ(stat_value("last_unmount_stage"), 9);
        EXPECT_EQ(g_mounted_letter, c.letter_after);
    }
    EXPECT_EQ(missing_in_order(env_.log_lines(),
                               {"elev mount | RC=-9", "elev mount: UAC declined by the user",
                                "mount: elevated helper SUCCESS letter=K",
                                "elev unmount: no verdict (wait=0 got=0)",
                                "elev unmount: UAC declined by the user",
                                "unmount: process is NOT elevated — starting the one-UAC helper "
                                "(letter=K)",
                                "elev unmount | RC=-12"}),
              "");
}

} // namespace
