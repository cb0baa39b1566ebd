// The elevated mount and unmount end to end on Linux: the library's own target serves the
// image, the stand-in initiator logs in to it for real, its diskpart partitions and formats the
// disk through iSCSI, and the unmount takes it all away again, its release script in the real
// PowerShell engine. Runs as root (the elevated path).
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "attach/attach.h"
#include "attach/mount_claim.h"
#include "attach/record.h"
#include "norvaled.h"
#include "platform/initiator.h"
#include "platform/posix/standin_client.h"
#include "platform/storage.h"
#include "state/state.h"
#include "support/attach_env.h"
#include "support/library_helpers.h"
#include "support/powershell.h"
#include "support/run_cmd.h"
#include "support/target_fixture.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t k_tool_ms = 120000;
constexpr uint64_t k_partition_offset = 1u << 20;
constexpr char k_other_iqn[] = "iqn.2026-08.test.standin:other";

class StandinMount : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the elevated path needs root";
        require_powershell(); // the unmount's release script runs in it
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(env_.ok());
        unsetenv("VK_NORVALED_FORCE_UAC");
    }
    void TearDown() override {
        target_stop();
        env_.stop_standin();
    }

    // The unmount of a mounted disk: every stage, no session left behind.
    void expect_full_unmount(char letter) {
        ASSERT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
        EXPECT_EQ(stat_value("last_unmount_stage"), 7);
        EXPECT_EQ(g_mounted_letter, 0);
        EXPECT_EQ(unmount_our_session_present(nullptr, 0), 0);
        const std::string s1 = std::string("S1 cache flush rc=0 dirty=0 letter=") + letter;
        EXPECT_EQ(missing_in_order(env_.new_log_lines(),
                                   {s1, "S2 lock=1 dismount=1 mntpoint removed",
                                    "S3 removing the NORVALED devnode (this is what releases the "
                                    "LUN)",
                                    "release | devnode SCSI\\DISK&VEN_VELMORAK&PROD_NORVALED\\",
                                    "release | release done", "release rc=0",
                                    "S4 session cleared=1 logged_out=1 elapsed=",
                                    "done logged_out=1 session_present=0 devnode=-1 elapsed="}),
                  "");
    }

    attach_env env_;
};

// The partition the format made, checked by the NTFS tools on a copy of its bytes.
void expect_ntfs_partition(const std::string& image, const scoped_dir& dir) {
    const std::string part = dir.file("partition.img");
    const cmd_result copy = run_cmd(
        {"dd", "if=" + image, "of=" + part, "bs=1M", "skip=1", "conv=sparse", "status=none"},
        k_tool_ms);
    ASSERT_TRUE(copy.ok()) << copy.describe();
    const cmd_result label = run_cmd({"ntfslabel", "--force", part}, k_tool_ms);
    EXPECT_TRUE(label.ok()) << label.describe();
    EXPECT_NE(label.output.find("Norvaled"), std::string::npos) << label.output;
    const cmd_result info = run_cmd({"ntfsinfo", "-m", "--force", part}, k_tool_ms);
    EXPECT_TRUE(info.ok()) << info.describe();
}

TEST_F(StandinMount, FormatKeepDataUnmountAndTheirLogs) {
    const target_info* t = target_start_mock();
    ASSERT_NE(t, nullptr);

    // Consent first: nothing is started for a blank image without it.
    EXPECT_EQ(norvaled_mount('E'), NORVALED_E_CONSENT);
    EXPECT_STREQ(norvaled_last_error(), "disk image is blank and must be formatted (NTFS) before "
                                        "first use — confirm to continue");
    EXPECT_EQ(access(env_.file("standin/msiscsi.pid").c_str(), F_OK), -1);
    EXPECT_EQ(env_.new_log_lines(), std::vector<std::string>{"disk_state=0 allow_format=0"});
    EXPECT_EQ(norvaled_mount_ex('5', 1), NORVALED_E_ARG);
    EXPECT_STREQ(norvaled_last_error(), "invalid drive letter");

    // A stats call from another thread waits for the mount's state lock while the target keeps
    // serving the format's writes, then answers.
    std::string stats_seen;
    std::thread reader([&] {
        while (missing_in_order(env_.log_lines(), {"disk 1 has_data=0"}) != "")
            usleep(10000);
        stats_seen = norvaled_stats();
    });
    const int32_t mounted = norvaled_mount_ex('e', 1);
    reader.join();
    ASSERT_EQ(mounted, 0) << norvaled_last_error();
    EXPECT_NE(stats_seen.find("\"last_mount_formatted\":1"), std::string::npos) << stats_seen;
    EXPECT_EQ(g_mounted_letter, 'E');
    EXPECT_EQ(g_session_valid, 1);
    EXPECT_EQ(stat_value("last_mount_formatted"), 1);
    EXPECT_EQ(stat_value("svc_state_mode"), 2);
    EXPECT_EQ(missing_in_order(env_.new_log_lines(),
                               {"disk_state=0 allow_format=1",
                                "stale-session sweep done (iqn=" NORVALED_TARGET_IQN ")",
                                "LoginIScsiTargetA hr=0x00000000", "disk 1 has_data=0",
                                "diskpart rc=0 script=" + env_.tmp() + "/vknorvaled_dp.txt"}),
              "");
    ASSERT_EQ(norvaled_flush(), 0);
    EXPECT_EQ(norvaled_disk_state(), NORVALED_DISK_RECOGNISED);
    scoped_dir work;
    expect_ntfs_partition(t->image_path, work);

    expect_full_unmount('E');
    // Nothing mounted any more: the short sequence.
    ASSERT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
    std::vector<std::string> idle;
    for (const std::string& line : env_.new_log_lines())
        if (line.rfind("child done ", 0) != 0) idle.push_back(line);
    ASSERT_EQ(idle.size(), 3u) << ::testing::PrintToString(idle);
    EXPECT_EQ(idle[0], "S1 cache flush rc=0 dirty=0 letter=-");
    EXPECT_EQ(idle[1].rfind("S4 session cleared=1 logged_out=1 elapsed=", 0), 0u) << idle[1];
    EXPECT_EQ(idle[2].rfind("done logged_out=1 session_present=0 devnode=-1 elapsed=", 0), 0u)
        << idle[2];

    // The formatted image keeps its data from now on, whatever allow_format says.
    ASSERT_EQ(norvaled_mount('E'), 0) << norvaled_last_error();
    EXPECT_EQ(stat_value("last_mount_formatted"), 0);
    EXPECT_EQ(missing_in_order(env_.new_log_lines(),
                               {"disk_state=1 allow_format=0", "disk 1 has_data=1"}),
              "");
    expect_full_unmount('E');
    expect_ntfs_partition(t->image_path, work);

    target_stop();
    EXPECT_EQ(norvaled_mount_ex('E', 1), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(), "target not running — call norvaled_start first");
    EXPECT_EQ(norvaled_unmount(), 0) << norvaled_last_error();
    EXPECT_EQ(env_.new_log_lines().at(0), "S1 cache flush rc=-7 dirty=0 letter=-");
}

// A file written into the remote image's NTFS partition between two mounts is still there
// after the keep-data mount and unmount, and the volume is still clean.
class NtfsLoop {
  public:
    explicit NtfsLoop(const std::string& image) {
        const cmd_result r = run_cmd(
            {"losetup", "--find", "--show", "--offset", std::to_string(k_partition_offset), image},
            k_tool_ms);
        if (r.ok()) device_ = r.output.substr(0, r.output.find('\n'));
    }
    ~NtfsLoop() {
        if (!device_.empty()) run_cmd({"losetup", "--detach", device_}, k_tool_ms);
    }
    NtfsLoop(const NtfsLoop&) = delete;
    NtfsLoop& operator=(const NtfsLoop&) = delete;
    const std::string& device() const { return device_; }

  private:
    std::string device_;
};

TEST_F(StandinMount, SftpImageKeepsAFileWrittenBetweenMounts) {
    const target_info* t = target_start_sftp();
    if (IsSkipped()) return;
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(norvaled_mount_ex('S', 1), 0) << norvaled_last_error();
    ASSERT_NO_FATAL_FAILURE(expect_full_unmount('S'));
    ASSERT_EQ(norvaled_stop(), 0) << norvaled_last_error(); // every chunk is in the file now

    scoped_dir mnt;
    {
        NtfsLoop loop(t->image_path);
        ASSERT_FALSE(loop.device().empty());
        ASSERT_TRUE(run_cmd({"ntfs-3g", loop.device(), mnt.path()}, k_tool_ms).ok());
        const bool wrote = write_at(mnt.file("kept.txt"), 0, {'k', 'e', 'p', 't', '\n'});
        ASSERT_TRUE(run_cmd({"umount", mnt.path()}, k_tool_ms).ok());
        ASSERT_TRUE(wrote);
    }

    ASSERT_EQ(start_on_free_port(t->image_path, static_cast<int64_t>(t->size)), 0)
        << norvaled_last_error();
    ASSERT_EQ(norvaled_mount('S'), 0) << norvaled_last_error();
    EXPECT_EQ(stat_value("last_mount_formatted"), 0);
    ASSERT_NO_FATAL_FAILURE(expect_full_unmount('S'));
    target_stop();

    NtfsLoop loop(t->image_path);
    ASSERT_FALSE(loop.device().empty());
    const cmd_result cat = run_cmd({"ntfscat", loop.device(), "kept.txt"}, k_tool_ms);
    EXPECT_TRUE(cat.ok()) << cat.describe();
    EXPECT_EQ(cat.output, "kept\n");
    const cmd_result info = run_cmd({"ntfsinfo", "-m", loop.device()}, k_tool_ms);
    EXPECT_TRUE(info.ok()) << info.describe();
}

// A session that outlives every logout, after which the initiator stops answering: without a
// listing nothing shows that the session went, so the unmount must not report success.
TEST_F(StandinMount, SessionThatStaysThenNoListingIsIncomplete) {
    ASSERT_TRUE(env_.add_program("iscsicli", R"(#!/bin/sh
[ "$1" = SessionList ] || exit 0
n=$(cat "$TMPDIR/listings" 2>/dev/null || echo 0)
echo $((n + 1)) >"$TMPDIR/listings"
[ "$n" -lt 14 ] || exit 1
printf 'Total of 1 sessions\n\nSession Id : 1-2\nTarget Name : %s\n' ")" NORVALED_TARGET_IQN R"("
)"));
    record_login(iscsi_session_id{}, true); // as a native login would have left it
    EXPECT_EQ(norvaled_unmount(), NORVALED_E_UNMOUNT);
    EXPECT_STREQ(norvaled_last_error(),
                 "unmount incomplete: the iSCSI session to " NORVALED_TARGET_IQN
                 " is still logged in after 90 s (is a file open on that drive?) — close it and "
                 "retry");
    EXPECT_EQ(stat_value("last_unmount_stage"), 6);
    EXPECT_EQ(g_session_valid, 1);
    // The session is still there: no other process may mount over it yet.
    bool taken_now = true;
    EXPECT_EQ(mount_claim_take(&taken_now), 0);
    EXPECT_FALSE(taken_now);
    EXPECT_EQ(missing_in_order(env_.new_log_lines(),
                               {"S1 cache flush rc=-7 dirty=0 letter=-",
                                "S3 removing the NORVALED devnode", "force logout id=1-2 rc=0",
                                "force logout id=1-2 rc=0", "S3 native logout hr=0x",
                                "S4 session cleared=0 logged_out=0 elapsed=",
                                "done logged_out=0 session_present=-1 devnode=-1"}),
              "");
}

// tgtd serving a file as LUN 1 of another target on its own portal and control socket (its
// number, which tgtd wants below 32768, taken from the portal's port so that the tgtds of other
// runs stay apart; one that clashes exits, and the next port is tried). tgtd ignores SIGTERM: it
// is killed, also by setpriv should this process die first.
class tgtd_peer {
  public:
    tgtd_peer(const std::string& image, const scoped_dir& dir) : log_(dir.file("tgtd.log")) {
        for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
            port_ = free_port();
            pid_ = spawn_server({"tgtd", "-f", "-C", control(), "--iscsi",
                                 "portal=127.0.0.1:" + std::to_string(port_)},
                                log_, "KILL");
            if (pid_ > 0 && !wait_listening(pid_, port_, k_tool_ms)) stop();
        }
        if (pid_ < 0) {
            const std::vector<uint8_t> log = read_at(log_, 0, 4096);
            failure_ = "tgtd did not listen: " + std::string(log.begin(), log.end());
            return;
        }
        for (const std::vector<std::string>& op :
             {std::vector<std::string>{"--op", "new", "--mode", "target", "--tid", "1", "-T",
                                       k_other_iqn},
              {"--op", "new", "--mode", "logicalunit", "--tid", "1", "--lun", "1", "-b", image},
              {"--op", "bind", "--mode", "target", "--tid", "1", "-I", "ALL"}}) {
            std::vector<std::string> argv = {"tgtadm", "-C", control(), "--lld", "iscsi"};
            argv.insert(argv.end(), op.begin(), op.end());
            const cmd_result r = run_cmd(argv, k_tool_ms);
            if (!r.ok()) {
                failure_ = "tgtadm " + op[1] + " " + op[3] + ": " + r.describe();
                return;
            }
        }
    }
    ~tgtd_peer() { stop(); }
    tgtd_peer(const tgtd_peer&) = delete;
    tgtd_peer& operator=(const tgtd_peer&) = delete;

    // Empty when it serves.
    const std::string& failure() const { return failure_; }
    uint16_t port() const { return port_; }

  private:
    std::string control() const { return std::to_string(30000 + port_ % 2768); }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        // Killed, it leaves its control socket behind.
        const std::string socket = "/var/run/tgtd/socket." + control();
        unlink(socket.c_str());
        unlink((socket + ".lock").c_str());
    }

    std::string log_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string failure_;
};

// The drive number whose volume holds the letter, or "" when none does.
std::string volume_at(char letter) {
    standin_reply reply;
    if (standin_call(std::string("volume ") + letter, reply) != 0 || !reply.ok) return "";
    return reply.text;
}

// Another target's session, logged in before the mount (so its disk is drive 1), is neither
// formatted by the mount nor logged out by the unmount, and does not make the unmount fail.
// Its volume's letter is refused on both paths before anything runs, while a volume of our own
// identity (a stale mount a crash left) is taken over.
TEST_F(StandinMount, AnotherTargetsSessionOutlivesTheUnmount) {
    if (!have_program("tgtd")) GTEST_SKIP() << "tgtd (package tgt) is not installed";
    ASSERT_NE(target_start_mock(), nullptr);
    scoped_dir work;
    const std::string other_image = work.file("other.img");
    ASSERT_TRUE(write_at(other_image, (8u << 20) - 1, {0}));
    tgtd_peer other(other_image, work);
    ASSERT_EQ(other.failure(), "");

    service_t svc = initiator_service_open(service_access::query_and_start);
    initiator_service_start(svc);
    initiator_service_close(svc);
    iscsi_session_id other_session;
    ASSERT_EQ(initiator_login(k_other_iqn, "127.0.0.1", other.port(), &other_session), 0u);
    std::string vendor, product;
    ASSERT_EQ(storage_query_ids(1, vendor, product), 0);
    EXPECT_EQ(product.rfind("VIRTUAL-DISK", 0), 0u) << product; // tgtd's LUN 1, not its LUN 0
    standin_reply assigned;
    ASSERT_EQ(standin_call("assign 1 D", assigned), 0);
    ASSERT_TRUE(assigned.ok) << assigned.text;

    env_.new_log_lines();
    EXPECT_EQ(norvaled_mount_ex('d', 1), NORVALED_E_ARG);
    EXPECT_STREQ(norvaled_last_error(), "drive letter D: is already in use");
    EXPECT_EQ(env_.new_log_lines(),
              (std::vector<std::string>{"disk_state=0 allow_format=1",
                                        "mount: drive letter D: names another volume "
                                        "(vendor='IET     ' product='VIRTUAL-DISK    '); not "
                                        "touching it"}));
    ASSERT_TRUE(env_.add_fake_powershell());
    env_.answer("RC=0\r\n");
    setenv("VK_NORVALED_FORCE_UAC", "1", 1);
    EXPECT_EQ(norvaled_mount_ex('D', 1), NORVALED_E_ARG);
    unsetenv("VK_NORVALED_FORCE_UAC");
    EXPECT_STREQ(norvaled_last_error(), "drive letter D: is already in use");
    EXPECT_EQ(env_.seen_script(), ""); // no helper ran
    EXPECT_EQ(g_mounted_letter, 0);

    ASSERT_EQ(norvaled_mount_ex('E', 1), 0) << norvaled_last_error();
    EXPECT_EQ(missing_in_order(env_.new_log_lines(), {"disk 2 has_data=0"}), "");
    EXPECT_EQ(volume_at('E'), "2");
    record_drive_gone(); // what a process that starts after a crash knows of E
    ASSERT_EQ(norvaled_mount('e'), 0) << norvaled_last_error();
    EXPECT_EQ(missing_in_order(env_.new_log_lines(), {"force logout id=", "disk 2 has_data=1"}),
              "");
    ASSERT_NO_FATAL_FAILURE(expect_full_unmount('E'));
    EXPECT_EQ(volume_at('D'), "1");

    const cmd_result list = run_cmd({"iscsicli", "SessionList"}, k_tool_ms);
    EXPECT_NE(list.output.find(std::string("Target Name            : ") + k_other_iqn),
              std::string::npos)
        << list.describe();
    EXPECT_EQ(storage_query_ids(1, vendor, product), 0);
    EXPECT_EQ(initiator_logout(other_session), 0u); // the session was still there to end
}

} // namespace
