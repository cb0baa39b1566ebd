// The mount and unmount of a process without administrator rights (forced here with
// VK_NORVALED_FORCE_UAC=1): one script behind one consent prompt. The scripts run in the real
// PowerShell 7 engine against the stand-in initiator (tools/standin/powershell); a fake
// elevated PowerShell that only keeps the script and answers canned lines plays what no real
// run gives: a refused prompt, and a run that ends without a verdict.
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "attach/record.h"
#include "attach/scripts.h"
#include "norvaled.h"
#include "platform/posix/standin_client.h"
#include "state/state.h"
#include "support/attach_env.h"
#include "support/cache_helpers.h"
#include "support/library_helpers.h"
#include "support/powershell.h"
#include "support/run_cmd.h"
#include "support/target_fixture.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t k_engine_ms = 120000;
constexpr const char* k_helper_failed =
    "unmount failed in the elevated helper (see vk_norvaled_mount.log)";
constexpr const char* k_mount_failed =
    "mount failed in the elevated helper (see vk_norvaled_mount.log)";
constexpr const char* k_kept_text = "written on E: between the mounts\n";

class HelperPath : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(env_.ok());
        ASSERT_EQ(setenv("VK_NORVALED_FORCE_UAC", "1", 1), 0);
    }
    void TearDown() override {
        unsetenv("NORVALED_UAC");
        target_stop();
    }

    attach_env env_;
};

// The real engine runs the scripts: NORVALED_POWERSHELL names the stand-in's powershell.
class EngineHelperPath : public HelperPath {
  protected:
    void SetUp() override {
        HelperPath::SetUp();
        if (HasFatalFailure()) return;
        require_powershell();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(setenv("NORVALED_POWERSHELL", standin_powershell().c_str(), 1), 0);
    }
    void TearDown() override {
        HelperPath::TearDown();
        env_.stop_standin();
    }

    // The daemon's answer to one request: its "ok" text, or "err ..." / "unreachable".
    static std::string ask(const std::string& request, std::string* payload = nullptr) {
        standin_reply r;
        if (standin_call(request, r) != 0) return "unreachable";
        if (payload != nullptr) *payload = r.payload;
        return r.ok ? r.text : "err " + r.text;
    }

    void expect_mounted(char letter, int formatted) {
        EXPECT_EQ(g_mounted_letter, letter);
        EXPECT_EQ(stat_value("last_mount_formatted"), formatted);
        EXPECT_EQ(ask(std::string("volume ") + letter), "1");
        EXPECT_EQ(
            missing_in_order(env_.new_log_lines(),
                             {"elev mount | msiscsi=Running", "elev mount | connected",
                              "elev mount | disk=1",
                              formatted ? "elev mount | dp| DiskPart: clean: done."
                                        : "elev mount | dp| DiskPart: select partition 1: done.",
                              "elev mount | RC=0", "mount: elevated helper SUCCESS"}),
            "");
    }

    // The unmount of the mounted disk: every step of the script, nothing left behind.
    void expect_full_unmount(char letter) {
        ASSERT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
        EXPECT_EQ(stat_value("last_unmount_stage"), 7);
        EXPECT_EQ(g_mounted_letter, 0);
        EXPECT_EQ(ask("sessions"), "0");
        EXPECT_EQ(ask("portals"), "0") << "the portal is removed";
        EXPECT_EQ(ask(std::string("volume ") + letter).rfind("err ", 0), 0u);
        EXPECT_EQ(
            missing_in_order(env_.new_log_lines(),
                             {"elev unmount | start sessions=1 devnodes=1",
                              "elev unmount | pass 0 remove devnode SCSI\\DISK&VEN_VELMORAK",
                              "elev unmount | pass 1 logout ", "elev unmount | session cleared",
                              "elev unmount | RC=0", "unmount: elevated helper SUCCESS"}),
            "");
        for (const std::string& line : env_.log_lines())
            EXPECT_EQ(line.find("fatal"), std::string::npos) << line;
    }
};

// Every script parses in the engine exactly as the library writes it, and the frame names the
// result file even where the temporary directory's name holds a quote.
TEST_F(HelperPath, EveryScriptParsesInTheEngine) {
    require_powershell();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string tmp = env_.file("tmp o'brien");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    ASSERT_EQ(setenv("TMPDIR", tmp.c_str(), 1), 0);
    ASSERT_TRUE(env_.add_fake_powershell());
    env_.answer("RC=0\r\n");
    std::vector<std::string> scripts, results;
    const std::string pid = std::to_string(getpid());
    auto keep = [&](const std::string& tag, const std::string& name) {
        scripts.push_back(env_.file(name));
        results.push_back(tmp + "/vk_norvaled_elev_" + tag + "_" + pid + "_" +
                          std::to_string(scripts.size()) + ".out");
        const std::string seen = env_.seen_script();
        ASSERT_TRUE(write_at(scripts.back(), 0, std::vector<uint8_t>(seen.begin(), seen.end())));
    };

    ASSERT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
    keep("unmount", "unmount-no-letter.ps1");
    EXPECT_NE(env_.seen_script().find("\r\n$hasletter = 0\r\n$letter = '0'\r\n"),
              std::string::npos);
    // An image with a partition table keeps its data.
    const std::string image = env_.file("partitioned.img");
    ASSERT_TRUE(create_sparse_file(image, k_target_image_size));
    ASSERT_TRUE(write_at(image, 446, {0, 0, 0, 0, 0x07, 0, 0, 0, 0, 8, 0, 0, 0, 0, 2, 0}));
    ASSERT_TRUE(write_at(image, 510, {0x55, 0xAA}));
    int port = 0;
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    ASSERT_EQ(start_on_free_port(image, static_cast<int64_t>(k_target_image_size), &port), 0);
    ASSERT_EQ(norvaled_mount('e'), 0) << norvaled_last_error();
    keep("mount", "mount-keep.ps1");
    EXPECT_NE(env_.seen_script().find("$hasdata = 1\r\n"), std::string::npos);
    EXPECT_NE(env_.seen_script().find("-TargetPortalPortNumber " + std::to_string(port) +
                                      " -AuthenticationType"),
              std::string::npos);
    ASSERT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
    keep("unmount", "unmount-letter.ps1");
    EXPECT_NE(env_.seen_script().find("\r\n$hasletter = 1\r\n$letter = 'E'\r\n"),
              std::string::npos);
    ASSERT_EQ(norvaled_stop(), 0);
    ASSERT_EQ(norvaled_disconnect(), 0);
    ASSERT_NE(target_start_mock(), nullptr);
    ASSERT_EQ(norvaled_mount_ex('E', 1), 0) << norvaled_last_error();
    keep("mount", "mount-format.ps1");
    EXPECT_NE(env_.seen_script().find("$hasdata = 0\r\n"), std::string::npos);
    const std::string release = env_.file("release.ps1");
    ASSERT_TRUE(write_at(
        release, 0,
        std::vector<uint8_t>(k_release_script, k_release_script + sizeof k_release_script - 1)));

    // Each file's parse errors, and the value of the first statement's right-hand side.
    const std::string check = env_.file("check.ps1");
    const std::string check_text = R"(foreach ($f in $args) {
  $tokens = $null; $errors = $null
  $ast = [System.Management.Automation.Language.Parser]::ParseFile($f, [ref]$tokens, [ref]$errors)
  foreach ($e in $errors) { 'error ' + $e.Extent.StartLineNumber + ': ' + $e.Message }
  $first = $ast.EndBlock.Statements[0]
  if ($first -is [System.Management.Automation.Language.AssignmentStatementAst] -and
      $first.Left.VariablePath.UserPath -eq 'res') { 'res=' + $first.Right.Expression.SafeGetValue() }
  'parsed ' + $errors.Count
}
)";
    ASSERT_TRUE(write_at(check, 0, std::vector<uint8_t>(check_text.begin(), check_text.end())));
    std::vector<std::string> argv = {powershell_engine(), "-NoProfile", "-NonInteractive", "-File",
                                     check};
    for (const std::string& s : scripts)
        argv.push_back(s);
    argv.push_back(release);
    const cmd_result parsed = run_cmd(argv, k_engine_ms);
    ASSERT_TRUE(parsed.ok()) << parsed.describe();
    std::string want;
    for (const std::string& r : results)
        want += "res=" + r + "\nparsed 0\n";
    want += "parsed 0\n";
    EXPECT_EQ(parsed.output, want);
}

// A blank image formatted and mounted, a file written onto the drive, unmounted, mounted again
// with its data, and unmounted: every step by the scripts in the engine.
TEST_F(EngineHelperPath, FormatWriteUnmountAndMountAgainKeepingTheData) {
    const target_info* t = target_start_mock();
    ASSERT_NE(t, nullptr);
    // A session to the target left behind by an earlier run: the mount logs it out first.
    ASSERT_TRUE(run_cmd({"msiscsi"}, k_engine_ms).ok());
    const std::string stale =
        ask("login " NORVALED_TARGET_IQN " 127.0.0.1 " + std::to_string(t->port));
    ASSERT_NE(stale.find('\t'), std::string::npos) << stale;
    ASSERT_EQ(norvaled_mount_ex('e', 1), 0) << norvaled_last_error();
    EXPECT_EQ(missing_in_order(env_.log_lines(),
                               {"elev mount | stale logout " + stale.substr(0, stale.find('\t'))}),
              "");
    expect_mounted('E', 1);
    scoped_dir work;
    EXPECT_EQ(write_file_through_drive(1, work.path(), "kept.txt", k_kept_text), "");
    ASSERT_NO_FATAL_FAILURE(expect_full_unmount('E'));
    ASSERT_EQ(target_flush(), 0);
    EXPECT_NE(ntfs_label(t->image_path, work.path()).find("Norvaled"), std::string::npos);
    EXPECT_EQ(ntfs_cat(t->image_path, work.path(), "kept.txt"), k_kept_text);

    ASSERT_EQ(norvaled_mount('E'), 0) << norvaled_last_error();
    expect_mounted('E', 0);
    ASSERT_NO_FATAL_FAILURE(expect_full_unmount('E'));
    ASSERT_EQ(target_flush(), 0);
    EXPECT_EQ(ntfs_cat(t->image_path, work.path(), "kept.txt"), k_kept_text);
}

// The mount script's own verdict when the initiator is missing, and when the disk never shows
// because another initiator holds the target's one connection.
TEST_F(EngineHelperPath, NoInitiatorAndNoDiskFailTheMount) {
    ASSERT_NE(target_start_mock(), nullptr);
    const std::string path = std::getenv("PATH");
    const std::string standin_bin = NORVALED_BINARY_DIR "/standin-bin:";
    const std::size_t at = path.find(standin_bin);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(
        setenv("PATH", (path.substr(0, at) + path.substr(at + standin_bin.size())).c_str(), 1), 0);
    EXPECT_EQ(norvaled_mount_ex('K', 1), NORVALED_E_MOUNT);
    EXPECT_STREQ(norvaled_last_error(), k_mount_failed);
    EXPECT_EQ(g_mounted_letter, 0);
    EXPECT_EQ(
        missing_in_order(env_.new_log_lines(),
                         {"elev mount | msiscsi=",
                          "elev mount | connect failed: The Microsoft iSCSI Initiator "
                          "Service is not running.",
                          "elev mount | no NORVALED devnode after login", "elev mount | RC=-9"}),
        "");
    ASSERT_EQ(setenv("PATH", path.c_str(), 1), 0);

    // Another initiator (a daemon of its own state directory) logged in first.
    scoped_dir other;
    const std::string own_dir = std::getenv("NORVALED_STANDIN_DIR");
    ASSERT_EQ(setenv("NORVALED_STANDIN_DIR", other.path().c_str(), 1), 0);
    ASSERT_TRUE(run_cmd({"msiscsi"}, k_engine_ms).ok());
    standin_reply login;
    ASSERT_EQ(
        standin_call("login " NORVALED_TARGET_IQN " 127.0.0.1 " + std::to_string(g_port.load()),
                     login),
        0);
    ASSERT_TRUE(login.ok) << login.text;
    ASSERT_EQ(setenv("NORVALED_STANDIN_DIR", own_dir.c_str(), 1), 0);
    EXPECT_EQ(norvaled_mount_ex('K', 1), NORVALED_E_MOUNT);
    EXPECT_EQ(g_mounted_letter, 0);
    EXPECT_EQ(
        missing_in_order(env_.new_log_lines(),
                         {"elev mount | msiscsi=Running", "elev mount | connect failed: ",
                          "elev mount | no NORVALED devnode after login", "elev mount | RC=-9"}),
        "");
    // The other daemon ends with its state directory.
}

// A session whose disk stays in use is never logged out: the script gives up with -12 after
// its passes (over a minute), so this runs in the normal build only.
TEST_F(EngineHelperPath, SessionThatWillNotLogOutIsIncomplete) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "slow: run in the build without sanitizers";
#endif
    ASSERT_NE(target_start_mock(), nullptr);
    ASSERT_EQ(norvaled_mount_ex('E', 1), 0) << norvaled_last_error();
    std::string sessions;
    ASSERT_EQ(ask("sessions", &sessions), "1");
    const std::string id = sessions.substr(0, sessions.find('\t'));
    ASSERT_EQ(ask("in_use " + id + " 1"), "");

    EXPECT_EQ(norvaled_unmount(), NORVALED_E_UNMOUNT);
    EXPECT_STREQ(norvaled_last_error(), "unmount incomplete: the iSCSI session is still logged in "
                                        "(close any open file and retry)");
    EXPECT_EQ(stat_value("last_unmount_stage"), 9);
    EXPECT_EQ(g_mounted_letter, 0) << "the volume was dismounted";
    EXPECT_EQ(
        missing_in_order(env_.new_log_lines(),
                         {"elev unmount | pass 1 logout " + id,
                          "elev unmount | cli| iscsicli: The session cannot be logged out",
                          "elev unmount | session still logged in (1)", "elev unmount | RC=-12"}),
        "");
    EXPECT_EQ(ask("in_use " + id + " 0"), "");
    EXPECT_EQ(ask("logout " + id), "");
}

// What only the fake can play: a refused prompt, a helper held while other calls come, and runs
// that end without a verdict. Only a verdict (RC=0 or RC=-12) means the script got as far as
// dismounting, so without one the letter stays for a retry to dismount.
TEST_F(HelperPath, DeclinedPromptsAndRunsWithoutAVerdictFail) {
    ASSERT_TRUE(env_.add_fake_powershell());
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

    setenv("NORVALED_UAC", "decline", 1);
    env_.answer("RC=0\r\n");
    EXPECT_EQ(norvaled_mount_ex('K', 1), NORVALED_E_MOUNT);
    EXPECT_STREQ(norvaled_last_error(), k_mount_failed);
    EXPECT_EQ(g_mounted_letter, 0);
    EXPECT_EQ(stat_value("last_mount_formatted"), -1);
    unsetenv("NORVALED_UAC");

    // While the helper runs without the state lock, no second mount or unmount may start
    // (it would take the claim and the letter from under this one); other calls answer.
    const std::string gate = env_.file("gate");
    ASSERT_EQ(setenv("FAKE_PS_GATE", gate.c_str(), 1), 0);
    int32_t mounted = -100;
    env_.new_log_lines(); // the declined mount above asked for its prompt too
    std::thread mounting([&] { mounted = norvaled_mount_ex('K', 1); });
    std::vector<std::string> since;
    while (missing_in_order(since, {"elev mount: requesting one UAC prompt"}) != "") {
        usleep(10000);
        for (std::string& line : env_.new_log_lines())
            since.push_back(std::move(line));
    }
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
    struct unmount_case {
        const char* answer;
        bool decline;
    };
    const unmount_case cases[] = {
        {"fatal something\r\n", false}, {"RC=0\r\n", true}, {"RC=\r\n", false}};
    for (const unmount_case& c : cases) {
        SCOPED_TRACE(c.answer);
        env_.answer(c.answer);
        if (c.decline) setenv("NORVALED_UAC", "decline", 1);
        EXPECT_EQ(norvaled_unmount(), NORVALED_E_UNMOUNT);
        unsetenv("NORVALED_UAC");
        EXPECT_STREQ(norvaled_last_error(), k_helper_failed);
        EXPECT_EQ(stat_value("last_unmount_stage"), 9);
        EXPECT_EQ(g_mounted_letter, 'K');
    }
    EXPECT_EQ(missing_in_order(env_.log_lines(),
                               {"elev mount: UAC declined by the user",
                                "mount: elevated helper SUCCESS letter=K",
                                "elev unmount: no verdict (wait=0 got=0)",
                                "elev unmount: UAC declined by the user",
                                "unmount: process is NOT elevated — starting the one-UAC helper "
                                "(letter=K)",
                                "elev unmount: no verdict (wait=0 got=0)"}),
              "");
}

} // namespace
