// The Linux stand-in for the Windows initiator and storage tools, end to end against the
// library's own target: the daemon's real iSCSI session, the seams that talk to it, and the
// tools the mount and unmount run (iscsicli, diskpart, pnputil, cmd).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "attach/attach.h"
#include "attach/scripts.h"
#include "norvaled.h"
#include "platform/initiator.h"
#include "platform/posix/standin_client.h"
#include "platform/storage.h"
#include "platform/sys.h"
#include "support/run_cmd.h"
#include "support/target_fixture.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t k_tool_ms = 60000;
constexpr uint32_t k_stop_wait_ms = 20000;
constexpr uint64_t k_mib = 1u << 20;
const std::string k_bin_dir = NORVALED_BINARY_DIR "/standin-bin";

template <typename Condition>
bool wait_until(uint32_t limit_ms, Condition condition) {
    const uint64_t deadline = tick_ms() + limit_ms;
    while (!condition()) {
        if (tick_ms() >= deadline) return false;
        sleep_ms(20);
    }
    return true;
}

// Gone, or a zombie: the daemon is not our child, so its reaper is not us.
bool process_ended(pid_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr) return true;
    char state = 0;
    const bool read = std::fscanf(f, "%*d (%*[^)]) %c", &state) == 1;
    std::fclose(f);
    return read && state == 'Z';
}

bool daemon_gone() {
    standin_reply reply;
    return standin_call("ping", reply) != 0;
}

// Each test has its own state directory and, unless it says otherwise, the stand-in tools
// first on PATH; the daemon it started is stopped by its PID.
class Standin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        setenv("NORVALED_STANDIN_DIR", dir_.file("state").c_str(), 1);
        const char* path = std::getenv("PATH");
        setenv("PATH", (k_bin_dir + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
    }

    void TearDown() override {
        for (pid_t pid : daemon_pids_) {
            kill(pid, SIGTERM);
            if (!wait_until(k_stop_wait_ms, [pid] { return process_ended(pid); })) {
                ADD_FAILURE() << "the daemon did not stop on SIGTERM";
                kill(pid, SIGKILL);
            }
        }
        target_stop();
    }

    // Starts the service through the initiator seam, as the mount does; its PID is kept.
    void start_daemon() {
        service_t svc = initiator_service_open(service_access::query_and_start);
        ASSERT_NE(svc, nullptr) << "msiscsi not found in " << k_bin_dir;
        EXPECT_EQ(initiator_service_running(svc), 0);
        initiator_service_start(svc);
        EXPECT_EQ(initiator_service_running(svc), 1);
        initiator_service_close(svc);
        standin_reply reply;
        ASSERT_EQ(standin_call("ping", reply), 0);
        daemon_pid_ = static_cast<pid_t>(std::atol(reply.text.c_str()));
        ASSERT_GT(daemon_pid_, 0);
        daemon_pids_.push_back(daemon_pid_);
    }

    // The target, the daemon, and a session to the target on drive 1.
    void log_in() {
        target_ = target_start_mock();
        ASSERT_NE(target_, nullptr);
        ASSERT_NO_FATAL_FAILURE(start_daemon());
        initiator_add_portal("127.0.0.1", target_->port);
        ASSERT_EQ(initiator_login(NORVALED_TARGET_IQN, "127.0.0.1", target_->port, &session_), 0u);
    }

    cmd_result tool(const std::vector<std::string>& argv) { return run_cmd(argv, k_tool_ms); }

    // Writes a diskpart script for drive 1 and letter N from one of the mount's templates.
    std::string diskpart_script(const char* format, const char* name) {
        char text[512];
        std::snprintf(text, sizeof text, format, 1, 'N');
        const std::string path = dir_.file(name);
        EXPECT_TRUE(write_at(path, 0, std::vector<uint8_t>(text, text + std::strlen(text))));
        return path;
    }

    scoped_dir dir_;
    pid_t daemon_pid_ = 0; // the latest; every one started is in daemon_pids_
    std::vector<pid_t> daemon_pids_;
    const target_info* target_ = nullptr;
    iscsi_session_id session_;
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string session_text(const iscsi_session_id& s) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016llx-%016llx",
                  static_cast<unsigned long long>(s.adapter_unique),
                  static_cast<unsigned long long>(s.adapter_specific));
    return buf;
}

// Without the daemon program on PATH the machine has no initiator: every answer says so.
TEST_F(Standin, WithoutTheDaemonOnPathThereIsNoServiceNoLoginAndNoDrive) {
    setenv("PATH", "/usr/bin:/bin", 1);
    EXPECT_EQ(initiator_service_open(service_access::query_and_start), nullptr);
    iscsi_session_id id;
    EXPECT_NE(initiator_login(NORVALED_TARGET_IQN, "127.0.0.1", 3260, &id), 0u);
    EXPECT_NE(initiator_add_portal("127.0.0.1", 3260), 0u);
    EXPECT_NE(initiator_logout(id), 0u);
    std::string vendor, product;
    for (int n = 0; n < 32; ++n)
        EXPECT_EQ(storage_query_ids(n, vendor, product), -1) << n;
    unsigned long error = 0;
    EXPECT_EQ(volume_open('N', &error), nullptr);
    EXPECT_EQ(error, 2u);
    EXPECT_FALSE(volume_remove_mount_point('N'));
}

// A real login: the drive carries the target's identity, iscsicli lists the session, a second
// login is refused as already logged in, and a logout ends the session so that the target,
// which serves one connection at a time, takes the next login.
TEST_F(Standin, LoginShowsTheDriveAndTheSessionUntilLogout) {
    ASSERT_NO_FATAL_FAILURE(log_in());
    std::string vendor, product;
    ASSERT_EQ(storage_query_ids(1, vendor, product), 0);
    EXPECT_EQ(vendor, "VELMORAK");
    EXPECT_EQ(product, "NORVALED        ");
    EXPECT_EQ(storage_query_ids(0, vendor, product), -1);
    EXPECT_EQ(storage_query_ids(2, vendor, product), -1);

    iscsi_session_id again;
    EXPECT_NE(initiator_login("norvaled-" NORVALED_TARGET_IQN, "10.0.0.1", 3260, &again), 0u)
        << "loopback portals only";
    EXPECT_EQ(initiator_login(NORVALED_TARGET_IQN, "127.0.0.1", target_->port, &again),
              k_isdsc_target_already_logged_in);

    EXPECT_EQ(find_our_disk(), 1);

    // The attachment's session scan reads the listing through cmd and iscsicli.
    const std::string id = session_text(session_);
    char listed[128];
    EXPECT_EQ(unmount_our_session_present(listed, sizeof listed), 1);
    EXPECT_EQ(listed, id);

    cmd_result out = tool({"iscsicli", "LogoutTarget", id});
    ASSERT_TRUE(out.ok()) << out.describe();
    EXPECT_EQ(storage_query_ids(1, vendor, product), -1) << "the drive goes with its session";
    EXPECT_EQ(unmount_our_session_present(nullptr, 0), 0);
    EXPECT_EQ(find_our_disk(), -1);
    EXPECT_NE(tool({"iscsicli", "LogoutTarget", id}).exit_code, 0) << "no such session now";

    // The target saw the Logout and serves the next login; the drive number is free again.
    ASSERT_EQ(initiator_login(NORVALED_TARGET_IQN, "127.0.0.1", target_->port, &again), 0u);
    EXPECT_EQ(storage_query_ids(1, vendor, product), 0);
    EXPECT_EQ(initiator_logout(again), 0u);
    EXPECT_EQ(initiator_remove_portal("127.0.0.1", target_->port), 0u);
    EXPECT_NE(initiator_remove_portal("127.0.0.1", target_->port), 0u);
}

// The daemon runs detached: its own session, none of this process's descriptors (the target's
// image among them), and it ends by itself when its state directory is removed. A second
// initiator cannot get through while its session holds the target: its login fails within
// the iSCSI time limit instead of waiting.
TEST_F(Standin, DaemonIsDetachedAndEndsWithItsStateDirectory) {
    ASSERT_NO_FATAL_FAILURE(log_in());
    const std::string first = dir_.file("state");
    setenv("NORVALED_STANDIN_DIR", dir_.file("second").c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    iscsi_session_id other;
    const uint32_t busy = initiator_login(NORVALED_TARGET_IQN, "127.0.0.1", target_->port, &other);
    EXPECT_NE(busy, 0u);
    EXPECT_NE(busy, k_isdsc_target_already_logged_in);
    setenv("NORVALED_STANDIN_DIR", first.c_str(), 1);
    standin_reply reply;
    ASSERT_EQ(standin_call("ping", reply), 0);
    daemon_pid_ = static_cast<pid_t>(std::atol(reply.text.c_str()));

    EXPECT_EQ(getsid(daemon_pid_), daemon_pid_);
    const std::string fd_dir = "/proc/" + std::to_string(daemon_pid_) + "/fd/";
    for (int fd = 3; fd < 64; ++fd) {
        char target[512] = {};
        if (readlink((fd_dir + std::to_string(fd)).c_str(), target, sizeof target - 1) < 0)
            continue;
        EXPECT_TRUE(has(target, "socket:")) << "inherited descriptor " << fd << ": " << target;
    }
    ASSERT_EQ(system(("rm -rf '" + first + "'").c_str()), 0);
    EXPECT_TRUE(wait_until(k_stop_wait_ms, daemon_gone));
    // Its session went with it: the target takes a new one.
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    EXPECT_EQ(initiator_login(NORVALED_TARGET_IQN, "127.0.0.1", target_->port, &session_), 0u);
}

// The mount's format script partitions and formats the disk for real through iSCSI; the
// keep-data script changes nothing on it; the volume operations and pnputil act on the
// stand-in's volume and drive.
TEST_F(Standin, DiskpartFormatsKeepsDataAndPnputilRemovesTheDrive) {
    ASSERT_NO_FATAL_FAILURE(log_in());
    cmd_result fmt = tool({"diskpart", "/s", diskpart_script(k_diskpart_format, "format.txt")});
    ASSERT_TRUE(fmt.ok()) << fmt.describe();
    ASSERT_EQ(target_flush(), 0);
    EXPECT_EQ(norvaled_disk_state(), 1);

    // One primary partition of type 0x07 from 1 MiB to the end of the disk.
    const std::vector<uint8_t> mbr = read_at(target_->image_path, 0, 512);
    ASSERT_EQ(mbr.size(), 512u);
    const uint8_t* e = mbr.data() + 446;
    EXPECT_EQ(e[4], 0x07);
    EXPECT_EQ(e[8] | e[9] << 8 | e[10] << 16 | e[11] << 24, 2048);
    EXPECT_EQ(static_cast<uint64_t>(e[12] | e[13] << 8 | e[14] << 16 | e[15] << 24),
              target_->size / 512 - 2048);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    const std::string part = dir_.file("partition");
    ASSERT_TRUE(write_at(part, 0, read_at(target_->image_path, k_mib, target_->size - k_mib)));
    cmd_result info = tool({"ntfsinfo", "-m", part});
    EXPECT_TRUE(info.ok()) << info.describe();
    EXPECT_TRUE(has(info.output, "Volume Name: Norvaled")) << info.output;

    // The letter names a volume that locks, dismounts and loses its mount point.
    unsigned long error = 0;
    volume_t v = volume_open('N', &error);
    ASSERT_NE(v, nullptr);
    volume_flush(v);
    EXPECT_TRUE(volume_lock(v));
    EXPECT_TRUE(volume_dismount(v));
    EXPECT_TRUE(volume_remove_mount_point('N'));
    EXPECT_TRUE(volume_unlock(v));
    volume_close(v);
    EXPECT_EQ(volume_open('N', &error), nullptr);

    const std::vector<uint8_t> before = read_at(target_->image_path, 0, target_->size);
    cmd_result keep = tool({"diskpart", "/s", diskpart_script(k_diskpart_keep_data, "keep.txt")});
    ASSERT_TRUE(keep.ok()) << keep.describe();
    ASSERT_EQ(target_flush(), 0);
    EXPECT_TRUE(read_at(target_->image_path, 0, target_->size) == before) << "data changed";
    v = volume_open('N', &error);
    EXPECT_NE(v, nullptr) << "the keep-data script assigns the letter";
    volume_close(v);

    const std::string bad = dir_.file("bad.txt");
    ASSERT_TRUE(write_at(bad, 0, {'s', 'e', 'l',  'e', 'c', 't', ' ', 'd', 'i', 's', 'k',
                                  ' ', '1', '\n', 'e', 'x', 't', 'e', 'n', 'd', '\n'}));
    cmd_result unknown = tool({"diskpart", "/s", bad});
    EXPECT_NE(unknown.exit_code, 0);
    EXPECT_TRUE(has(unknown.output, "unknown command \"extend\"")) << unknown.output;

    // Removing the drive's device leaves its session.
    std::string drives;
    {
        standin_reply reply;
        ASSERT_EQ(standin_call("drives", reply), 0);
        drives = reply.payload;
    }
    const std::size_t id = drives.find("SCSI\\DISK&VEN_VELMORAK&PROD_NORVALED\\");
    ASSERT_NE(id, std::string::npos) << drives;
    cmd_result removed =
        tool({"pnputil", "/remove-device", drives.substr(id, drives.find('\t', id) - id)});
    ASSERT_TRUE(removed.ok()) << removed.describe();
    std::string vendor, product;
    EXPECT_EQ(storage_query_ids(1, vendor, product), -1);
    EXPECT_TRUE(has(tool({"iscsicli", "SessionList"}).output, "Total of 1 sessions"))
        << "removing the device leaves the session";
}

} // namespace
