// A link that drops is a pause, not a loss: the SFTP server restarted under a writing
// initiator, the network stalled past the hold, a server with another host key on the same
// address. A real initiator (libiscsi) drives the target throughout; what the image file holds
// is read straight from the sshd user's home, and the library is never restarted.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

#include "norvaled.h"
#include "platform/sys.h"
#include "store/cache.h"
#include "support/library_helpers.h"
#include "support/run_cmd.h"
#include "support/sshd_fixture.h"
#include "support/tcp_proxy.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t k_io_timeout_ms = 2000;      // T
constexpr uint32_t k_connect_timeout_ms = 5000; // also the first connect's, under TSan
constexpr uint32_t k_short_hold_ms = 3000;
constexpr uint64_t k_chunk = 2u << 20;
constexpr uint64_t k_disk = 64ull << 20;
constexpr uint32_t k_block = 4096; // the model's unit
constexpr uint32_t k_lbas = k_block / 512;
constexpr uint32_t k_slack_ms = 3000;   // scheduling margin on top of a documented bound
constexpr uint32_t k_at_once_ms = 1500; // "at once": no transfer was waited for
constexpr uint32_t k_state_ms = 120000; // waits for a state the library reaches by itself

struct scsi_result {
    int status = -1; // SCSI status; -1 when the initiator lost the command
    int sense_key = 0;
    int asc = 0; // with ascq: asc << 8 | ascq
    long long ms = 0;
    std::vector<uint8_t> data;
    bool good() const { return status == SCSI_STATUS_GOOD; }
};

std::ostream& operator<<(std::ostream& os, const scsi_result& r) {
    return os << "status " << r.status << " sense " << r.sense_key << "/0x" << std::hex << r.asc
              << std::dec << " after " << r.ms << " ms";
}

// One libiscsi session with blocking commands, each timed.
class initiator {
  public:
    ~initiator() { close(); }
    bool connect(int port) {
        iscsi_ = iscsi_create_context("iqn.2026-08.test:reconnect");
        if (iscsi_ == nullptr) return false;
        iscsi_set_targetname(iscsi_, NORVALED_TARGET_IQN);
        iscsi_set_session_type(iscsi_, ISCSI_SESSION_NORMAL);
        iscsi_set_header_digest(iscsi_, ISCSI_HEADER_DIGEST_NONE);
        iscsi_set_timeout(iscsi_, 300); // only a hung target gets this far
        const std::string portal = "127.0.0.1:" + std::to_string(port);
        return iscsi_full_connect_sync(iscsi_, portal.c_str(), 0) == 0;
    }
    void close() {
        if (iscsi_ == nullptr) return;
        iscsi_logout_sync(iscsi_);
        iscsi_destroy_context(iscsi_);
        iscsi_ = nullptr;
    }
    std::string error() const { return iscsi_ ? iscsi_get_error(iscsi_) : "no context"; }

    scsi_result write(uint64_t offset, std::vector<uint8_t> data) {
        const auto start = std::chrono::steady_clock::now();
        return finish(iscsi_write10_sync(iscsi_, 0, static_cast<uint32_t>(offset / 512),
                                         data.data(), static_cast<uint32_t>(data.size()), 512, 0, 0,
                                         0, 0, 0),
                      start);
    }
    scsi_result read(uint64_t offset, uint32_t bytes) {
        const auto start = std::chrono::steady_clock::now();
        return finish(iscsi_read10_sync(iscsi_, 0, static_cast<uint32_t>(offset / 512), bytes, 512,
                                        0, 0, 0, 0, 0),
                      start);
    }
    scsi_result sync_cache() {
        const auto start = std::chrono::steady_clock::now();
        return finish(iscsi_synchronizecache10_sync(iscsi_, 0, 0, 0, 0, 0), start);
    }

  private:
    static scsi_result finish(scsi_task* task, std::chrono::steady_clock::time_point start) {
        scsi_result r;
        r.ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count();
        if (task == nullptr) return r;
        r.status = task->status;
        if (task->status == SCSI_STATUS_CHECK_CONDITION) {
            r.sense_key = task->sense.key;
            r.asc = task->sense.ascq;
        }
        if (task->datain.size > 0)
            r.data.assign(task->datain.data, task->datain.data + task->datain.size);
        scsi_free_scsi_task(task);
        return r;
    }
    iscsi_context* iscsi_ = nullptr;
};

// What the disk should hold, one version per 4 KiB block: 0 never written (zeros), v the
// bytes pattern(offset, 4096, v); a block a failed write touched is unknown until an
// acknowledged write covers it again.
struct disk_model {
    std::vector<uint32_t> version = std::vector<uint32_t>(k_disk / k_block, 0);
    std::vector<uint8_t> known = std::vector<uint8_t>(k_disk / k_block, 1);

    static std::vector<uint8_t> bytes(uint32_t block, uint32_t v) {
        return v == 0 ? std::vector<uint8_t>(k_block, 0)
                      : pattern(uint64_t{block} * k_block, k_block, v);
    }
    std::vector<uint8_t> fill(uint32_t first, uint32_t count, uint32_t v) const {
        std::vector<uint8_t> out;
        for (uint32_t b = first; b < first + count; ++b) {
            const std::vector<uint8_t> one = bytes(b, v);
            out.insert(out.end(), one.begin(), one.end());
        }
        return out;
    }
    void record(uint32_t first, uint32_t count, uint32_t v, bool acknowledged) {
        for (uint32_t b = first; b < first + count; ++b) {
            version[b] = v;
            known[b] = acknowledged;
        }
    }
    // The first known block of data (read from block first on) that differs, or -1.
    long mismatch(uint32_t first, const std::vector<uint8_t>& data) const {
        for (uint32_t i = 0; i < data.size() / k_block; ++i) {
            const uint32_t b = first + i;
            if (known[b] &&
                !std::equal(data.begin() + long{i} * k_block, data.begin() + long{i + 1} * k_block,
                            bytes(b, version[b]).begin()))
                return static_cast<long>(b);
        }
        return -1;
    }
};

class Reconnect : public sshd_test {
  protected:
    void SetUp() override {
        sshd_test::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        setenv("NORVALED_IO_TIMEOUT_MS", std::to_string(k_io_timeout_ms).c_str(), 1);
        setenv("NORVALED_CONNECT_TIMEOUT_MS", std::to_string(k_connect_timeout_ms).c_str(), 1);
        hold(k_short_hold_ms);
        image_ = sshd().home + "/reconnect.img";
    }
    void TearDown() override {
        ini_.close();
        if (proxy_) proxy_->stall(false);
        if (other_key_) sshd_restart();
        norvaled_disconnect();
    }
    void hold(uint32_t ms) {
        hold_ms_ = ms;
        setenv("NORVALED_RECONNECT_HOLD_MS", std::to_string(ms).c_str(), 1);
    }
    // Connects (through the relay when there is one), serves the image, logs libiscsi in.
    void serve() {
        const int port = proxy_ ? proxy_->port() : sshd().port;
        ASSERT_EQ(
            norvaled_connect("127.0.0.1", port, sshd().user.c_str(), auth_password(sshd()).c_str()),
            0)
            << norvaled_last_error();
        int target = 0;
        ASSERT_EQ(start_on_free_port(image_, k_disk, &target), 0) << norvaled_last_error();
        ASSERT_TRUE(ini_.connect(target)) << ini_.error();
    }
    std::vector<uint8_t> image_bytes(uint64_t offset, std::size_t len) const {
        return read_at(image_, offset, len);
    }
    // The bound the header gives a command that needs the image: 3T plus the hold.
    long long image_bound_ms() const { return 3 * k_io_timeout_ms + hold_ms_ + k_slack_ms; }

    std::unique_ptr<tcp_proxy> proxy_;
    std::string image_;
    initiator ini_;
    uint32_t hold_ms_ = 0;
    bool other_key_ = false;
};

// The sshd dies with its sessions and comes back on its port while the initiator writes,
// reads back and synchronizes without pause. No command waits past its bound; every
// acknowledged byte reads back from the target and, after a flush, from the image file.
TEST_F(Reconnect, ServerRestartUnderAWriterLosesNothingAcknowledged) {
    hold(10000); // the restart fits in it: ideally no command fails at all
    ASSERT_NO_FATAL_FAILURE(serve());
    disk_model model;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> ops{0};
    std::atomic<uint32_t> failed{0};
    std::string trouble; // the first wrong read or overlong command, from the writer
    std::thread writer([&] {
        const uint32_t blocks = k_disk / k_block;
        for (uint32_t i = 0; !stop.load() && trouble.empty(); ++i) {
            // Scattered runs of 4 to 64 KiB, some across a chunk boundary.
            const uint32_t count = 1 + i % 16;
            const uint32_t first = (i * 2311 + 509) % (blocks - count);
            const uint32_t v = i + 1;
            const scsi_result w =
                ini_.write(uint64_t{first} * k_block, model.fill(first, count, v));
            model.record(first, count, v, w.good());
            const scsi_result r = ini_.read(uint64_t{first} * k_block, count * k_block);
            const scsi_result s = i % 16 == 15 ? ini_.sync_cache() : scsi_result{};
            for (const scsi_result* c : {&w, &r, &s}) {
                if (c->ms > image_bound_ms())
                    trouble = "a command took too long: " + testing::PrintToString(*c);
                if (c->status > 0) failed.fetch_add(1);
            }
            if (w.status < 0 || r.status < 0) trouble = "the session broke: " + ini_.error();
            if (r.good() && model.mismatch(first, r.data) >= 0)
                trouble = "block " + std::to_string(model.mismatch(first, r.data)) +
                          " read back wrong after op " + std::to_string(i);
            ops.fetch_add(1);
        }
    });
    const bool busy = wait_until(k_state_ms, [&] { return ops.load() >= 48; });
    const bool restarted = busy && sshd_restart();
    const bool back = restarted && wait_until(k_state_ms, [] {
                          return stat_value("reconnects") == 1 && stat_value("link_up") == 1;
                      });
    const uint32_t ops_back = ops.load();
    const bool more = back && wait_until(k_state_ms, [&] { return ops.load() >= ops_back + 48; });
    stop = true;
    writer.join();
    ASSERT_TRUE(busy && restarted) << "the writer did not get going, or the sshd did not return";
    ASSERT_TRUE(back) << norvaled_stats();
    ASSERT_TRUE(more) << "the writer stalled after the reconnect";
    EXPECT_EQ(trouble, "");
    if (failed.load() > 0) std::printf("%u command(s) failed within their bound\n", failed.load());

    // Every acknowledged byte, through the target, then in the image file after a flush.
    const uint32_t piece = 256; // blocks: 1 MiB reads
    for (uint32_t first = 0; first < k_disk / k_block; first += piece) {
        const scsi_result r = ini_.read(uint64_t{first} * k_block, piece * k_block);
        ASSERT_TRUE(r.good()) << r;
        ASSERT_EQ(model.mismatch(first, r.data), -1) << "through the target";
    }
    ASSERT_EQ(norvaled_flush(), 0) << norvaled_last_error();
    for (uint32_t first = 0; first < k_disk / k_block; first += piece)
        ASSERT_EQ(model.mismatch(first, image_bytes(uint64_t{first} * k_block, piece * k_block)),
                  -1)
            << "in the image file";
    EXPECT_EQ(stat_value("reconnects"), 1);
    EXPECT_EQ(stat_value("link_up"), 1);
}

// The network stalls (nothing moves, new connections hang in their handshake) for longer
// than the hold. Once the hold has run out, a read that needs the image fails at once, while
// cached reads and writes go on; when the network comes back, the dirty data reaches the
// image by itself.
TEST_F(Reconnect, StallLongerThanTheHoldFailsOnlyWhatNeedsTheImage) {
    proxy_ = std::make_unique<tcp_proxy>(sshd().port);
    ASSERT_TRUE(proxy_->ok());
    ASSERT_NO_FATAL_FAILURE(serve());
    const std::vector<uint8_t> a = pattern(0, 65536, 1);
    ASSERT_TRUE(ini_.write(0, a).good());
    ASSERT_TRUE(ini_.read(5 * k_chunk, 4096).good()); // chunk 5 cached, clean
    ASSERT_EQ(norvaled_flush(), 0) << norvaled_last_error();
    ASSERT_TRUE(ini_.write(0, pattern(0, 65536, 2)).good()); // dirty, not yet on the image

    proxy_->stall(true);
    // The first read to need the image finds the link dead after T and waits out the hold.
    scsi_result r = ini_.read(10 * k_chunk, 4096);
    EXPECT_EQ(r.status, SCSI_STATUS_CHECK_CONDITION) << r;
    EXPECT_EQ(r.sense_key, SCSI_SENSE_HARDWARE_ERROR) << r;
    EXPECT_EQ(r.asc, 0x1100) << r;
    EXPECT_LT(r.ms, image_bound_ms()) << r;
    EXPECT_EQ(stat_value("link_up"), 0) << norvaled_stats();

    // The hold has run out: what needs the image fails at once, the cache serves the rest.
    r = ini_.read(11 * k_chunk, 4096);
    EXPECT_EQ(r.status, SCSI_STATUS_CHECK_CONDITION) << r;
    EXPECT_LT(r.ms, k_at_once_ms) << r;
    r = ini_.read(5 * k_chunk, 8192);
    EXPECT_TRUE(r.good() && r.ms < k_at_once_ms) << r;
    EXPECT_EQ(r.data, std::vector<uint8_t>(8192, 0));
    const std::vector<uint8_t> c = pattern(5 * k_chunk, 8192, 3);
    const std::vector<uint8_t> d = pattern(4096, 8192, 4);
    for (const auto& [offset, data] :
         {std::make_pair(5 * k_chunk, c), std::make_pair(uint64_t{4096}, d)}) {
        r = ini_.write(offset, data);
        EXPECT_TRUE(r.good() && r.ms < k_at_once_ms) << r;
    }
    r = ini_.read(0, 65536);
    ASSERT_TRUE(r.good()) << r;
    std::vector<uint8_t> want = pattern(0, 65536, 2);
    std::copy(d.begin(), d.end(), want.begin() + 4096);
    EXPECT_EQ(r.data, want);
    EXPECT_EQ(norvaled_flush(), NORVALED_E_SSH);
    EXPECT_TRUE(wait_until(k_state_ms, [] { return stat_value("reconnect_attempts") >= 1; }))
        << norvaled_stats();
    EXPECT_NE(stat_value("link_error"), 0) << norvaled_stats();
    EXPECT_EQ(stat_value("dirty_chunks"), 2) << norvaled_stats();
    EXPECT_EQ(image_bytes(0, 65536), a) << "something passed the stalled relay";

    proxy_->stall(false);
    const bool landed = wait_until(k_state_ms, [&] {
        return stat_value("dirty_chunks") == 0 && image_bytes(0, 65536) == want &&
               image_bytes(5 * k_chunk, 8192) == c;
    });
    EXPECT_TRUE(landed) << "the dirty data did not reach the image by itself; " << norvaled_stats();
    EXPECT_EQ(stat_value("reconnects"), 1) << norvaled_stats();
    EXPECT_EQ(stat_value("link_up"), 1) << norvaled_stats();
    EXPECT_EQ(stat_value("reconnect_attempts"), 0) << norvaled_stats();
    r = ini_.read(11 * k_chunk, 4096);
    EXPECT_TRUE(r.good()) << r;
}

// The server comes back with another host key: never accepted, attempts go on, nothing is
// written to it; once the right server is back, the link is too and the data lands.
TEST_F(Reconnect, ServerWithAnotherHostKeyIsRefusedUntilTheRightOneReturns) {
    ASSERT_NO_FATAL_FAILURE(serve());
    const std::vector<uint8_t> a = pattern(0, 65536, 5);
    const std::vector<uint8_t> b = pattern(0, 65536, 6);
    ASSERT_TRUE(ini_.write(0, a).good());
    ASSERT_EQ(norvaled_flush(), 0) << norvaled_last_error();
    ASSERT_TRUE(ini_.write(0, b).good());

    other_key_ = true;
    ASSERT_TRUE(sshd_restart(true)) << "the sshd with the other key did not come up";
    const scsi_result r = ini_.read(10 * k_chunk, 4096); // finds the link broken
    EXPECT_EQ(r.status, SCSI_STATUS_CHECK_CONDITION) << r;
    EXPECT_TRUE(wait_until(k_state_ms, [] {
        return stat_value("link_hostkey_changed") == 1 && stat_value("reconnect_attempts") >= 2;
    })) << norvaled_stats();
    EXPECT_EQ(stat_value("link_error"), NORVALED_E_SSH) << norvaled_stats();
    EXPECT_EQ(stat_value("link_up"), 0) << norvaled_stats();
    EXPECT_EQ(stat_value("reconnects"), 0) << norvaled_stats();
    EXPECT_GE(stat_value("dirty_chunks"), 1) << norvaled_stats();
    EXPECT_EQ(image_bytes(0, 65536), a) << "written to the server with the other key";

    other_key_ = false;
    ASSERT_TRUE(sshd_restart()) << "the sshd did not come back";
    EXPECT_TRUE(wait_until(k_state_ms, [&] {
        return stat_value("link_up") == 1 && stat_value("dirty_chunks") == 0 &&
               image_bytes(0, 65536) == b;
    })) << norvaled_stats();
    EXPECT_EQ(stat_value("reconnects"), 1) << norvaled_stats();
    EXPECT_EQ(stat_value("link_hostkey_changed"), 0) << norvaled_stats();
}

// A file of the copy below: 1 byte to 16 KiB, its bytes from its number.
std::vector<uint8_t> tree_file(uint32_t i) {
    return pattern(0, 1 + (i * 7919u) % 16384, 1000 + i);
}

std::string tree_path(uint32_t i) {
    return "d" + std::to_string(i / 100) + "/f" + std::to_string(i);
}

// The disk as an ext4 file system on Linux (scripts/mount-linux.sh over SFTP) while the sshd
// restarts in the middle of a copy that syncs as it goes: the copy never sees an error, the
// unmount and the stop write everything back, e2fsck finds the image clean and every file
// reads back whole. Needs root, loop devices and FUSE, as the packaging test's mock variant.
TEST_F(Reconnect, LinuxFileSystemSurvivesAServerRestartMidCopy) {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices and mount need root";
    for (const char* tool : {"qemu-storage-daemon", "losetup", "mkfs.ext4", "e2fsck"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " is missing";
    // The defaults a user gets: the restart is over well within the hold.
    for (const char* name :
         {"NORVALED_IO_TIMEOUT_MS", "NORVALED_CONNECT_TIMEOUT_MS", "NORVALED_RECONNECT_HOLD_MS"})
        unsetenv(name);
    const scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    const std::string mnt = dir.file("mnt");
    const std::string ro = dir.file("ro");
    std::filesystem::create_directories(mnt);
    std::filesystem::create_directories(ro);
    setenv("NORVALED_PROGRAM", NORVALED_BINARY_DIR "/norvaled", 1);
    setenv("HOME", dir.path().c_str(), 1); // no ssh settings of the machine's own
    const std::string log = dir.file("mount.log");
    pid_t mount_pid = spawn_server({NORVALED_SOURCE_DIR "/scripts/mount-linux.sh", "--sftp",
                                    sshd().user + "@127.0.0.1:" + std::to_string(sshd().port),
                                    "--image", image_, "--size", "256M", "--key", sshd().key,
                                    "--host-key-sha256", sshd().host_key_sha256, mnt},
                                   log, "TERM");
    ASSERT_GT(mount_pid, 0);
    int status = -1;
    auto ended = [&] { return waitpid(mount_pid, &status, WNOHANG) == mount_pid; };
    const bool mounted = wait_until(
        300000, [&] { return read_text(log).find("mounted on") != std::string::npos || ended(); });
    ASSERT_TRUE(mounted && status == -1) << read_text(log);

    constexpr uint32_t k_files = 1200;
    std::atomic<uint32_t> copied{0};
    std::string copy_error;
    std::thread copier([&] {
        for (uint32_t i = 0; i < k_files && copy_error.empty(); ++i) {
            const std::string path = mnt + "/" + tree_path(i);
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            if (!write_at(path, 0, tree_file(i))) copy_error = "cannot write " + path;
            // Every 20 files the file system goes down to the disk, as the copy goes on.
            if (i % 20 == 19 && run_cmd({"sync", "-f", path}, 600000).exit_code != 0)
                copy_error = "sync failed after " + path;
            copied.fetch_add(1);
        }
    });
    const bool midway = wait_until(600000, [&] { return copied.load() >= k_files / 3; });
    const bool restarted = midway && sshd_restart();
    copier.join();
    EXPECT_TRUE(midway && restarted) << "the restart did not happen in the middle of the copy";
    EXPECT_EQ(copy_error, "");

    // The same host process logged in again: the link came back without a restart of it.
    const std::string sshd_log = read_text(sshd().log);
    std::size_t logins = 0;
    for (std::size_t at = 0;
         (at = sshd_log.find("Accepted publickey for ", at)) != std::string::npos; ++at)
        ++logins;
    EXPECT_GE(logins, 2u) << sshd_log;

    kill(mount_pid, SIGTERM);
    EXPECT_TRUE(wait_until(300000, ended)) << read_text(log);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_text(log);
    EXPECT_NE(read_text(log).find("stopped: everything was written back"), std::string::npos)
        << read_text(log);

    const cmd_result fsck = run_cmd({"e2fsck", "-fn", image_}, 300000);
    EXPECT_TRUE(fsck.ok()) << fsck.describe();
    ASSERT_TRUE(run_cmd({"mount", "-o", "ro,loop", image_, ro}, 60000).ok());
    uint32_t wrong = 0;
    for (uint32_t i = 0; i < k_files; ++i)
        if (read_at(ro + "/" + tree_path(i), 0, 16384 + 1) != tree_file(i)) ++wrong;
    run_cmd({"umount", ro}, 60000);
    EXPECT_EQ(wrong, 0u) << "files that did not read back whole";
}

// Written back is not synced: data the server took but had not yet put on its disk may have
// died with it. After the reconnect, what is still cached of it is written again by itself;
// a piece no longer cached can only be reported: the next flush fails once, the one after
// it succeeds.
TEST_F(Reconnect, WrittenBackButUnsyncedIsWrittenAgainOrReportedOnce) {
    hold(10000);
    ASSERT_EQ(norvaled_connect("127.0.0.1", sshd().port, sshd().user.c_str(),
                               auth_password(sshd()).c_str()),
              0)
        << norvaled_last_error();
    constexpr uint64_t k_big_disk = (k_slot_max + 32) * k_chunk; // room to evict
    ASSERT_EQ(start_on_free_port(image_, k_big_disk), 0) << norvaled_last_error();
    const std::vector<uint8_t> a = pattern(4096, 4096, 21);
    const std::vector<uint8_t> b = pattern(k_chunk + 4096, 4096, 22);
    ASSERT_EQ(bc_write(4096, a.data(), 4096), 0);
    ASSERT_EQ(bc_write(k_chunk + 4096, b.data(), 4096), 0);
    ASSERT_TRUE(wait_until(k_state_ms, [] { return stat_value("dirty_chunks") == 0; }))
        << "the background pass never wrote back; " << norvaled_stats();
    // Chunk 0, the least recently used, leaves the cache; chunk 1 stays. One granule each,
    // away from the chunk's start, so that no read counts as a stream.
    std::vector<uint8_t> got(4096);
    for (uint64_t chunk = 2; chunk <= k_slot_max; ++chunk)
        ASSERT_EQ(bc_read(chunk * k_chunk + 8192, got.data(), 4096), 0) << chunk;
    const int64_t written = stat_value("sftp_bytes_w");

    ASSERT_TRUE(sshd_restart());
    // A granule not loaded of a cached chunk: the read needs the image, but no other slot.
    ASSERT_EQ(bc_read(2 * k_chunk + 65536, got.data(), 4096), 0)
        << "the read waits within the hold for the link to come back";
    EXPECT_EQ(stat_value("reconnects"), 1);
    EXPECT_TRUE(wait_until(k_state_ms,
                           [&] {
                               return stat_value("sftp_bytes_w") >= written + 4096 &&
                                      stat_value("dirty_chunks") == 0;
                           }))
        << "chunk 1 was not written again; " << norvaled_stats();
    EXPECT_EQ(norvaled_flush(), NORVALED_E_SSH) << "chunk 0 may be gone and is not cached";
    EXPECT_EQ(norvaled_flush(), 0) << norvaled_last_error();
    EXPECT_EQ(image_bytes(4096, 4096), a);
    EXPECT_EQ(image_bytes(k_chunk + 4096, 4096), b);
}

} // namespace
