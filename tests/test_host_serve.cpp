// `norvaled serve` end to end: the real program serves a mock image or an image on the test
// sshd, real initiators write and read the disk, a signal ends it, and the data must then be
// in the image file.
#include <algorithm>
#include <fstream>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "norvaled.h"
#include "platform/posix/standin_client.h"
#include "platform/sys.h"
#include "support/attach_env.h"
#include "support/library_helpers.h"
#include "support/run_cmd.h"
#include "support/ssh_agent.h"
#include "support/sshd_fixture.h"
#include "support/tcp_proxy.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

const std::string k_host = NORVALED_BINARY_DIR "/norvaled";
constexpr uint32_t k_ready_ms = 30000;
constexpr uint32_t k_exit_ms = 60000;
constexpr uint32_t k_tool_ms = 120000;
constexpr uint64_t k_disk = 64ull << 20;
constexpr std::size_t k_written = 6u << 20; // three chunks
constexpr int k_port_attempts = 5;

using bytes = std::vector<uint8_t>;

// One run of the program: output collected from a pipe, killed with its group if the test
// leaves it running.
class host_process {
  public:
    host_process() = default;
    ~host_process() {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            reap(1000);
        }
        if (out_ >= 0) close(out_);
    }
    host_process(const host_process&) = delete;
    host_process& operator=(const host_process&) = delete;

    // Starts `norvaled serve ARGS` in `cwd` with NAME=value entries added to the environment.
    bool start(const std::vector<std::string>& args, const std::string& cwd,
               const std::vector<std::string>& env_extra = {}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attr;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID); // no terminal to ask on
        std::vector<std::string> argv = {k_host, "serve"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> av;
        for (std::string& a : argv)
            av.push_back(a.data());
        av.push_back(nullptr);
        // The developer's own keys, agent and known hosts never take part: HOME is the
        // test's directory unless the test names one.
        std::vector<std::string> env_copy(env_extra);
        env_copy.push_back("HOME=" + cwd);
        std::vector<char*> ev;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "SSH_AUTH_SOCK=", 14) != 0)
                ev.push_back(*e);
        for (std::string& e : env_copy)
            ev.push_back(e.data());
        ev.push_back(nullptr);
        const int rc = posix_spawn(&pid_, k_host.c_str(), &actions, &attr, av.data(), ev.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            pid_ = -1;
            return false;
        }
        out_ = fds[0];
        fcntl(out_, F_SETFL, O_NONBLOCK);
        return true;
    }

    // Waits until the output holds `text`; false when the program ends or time runs out.
    bool wait_for(const std::string& text, uint32_t timeout_ms) {
        const uint64_t deadline = tick_ms() + timeout_ms;
        while (output_.find(text) == std::string::npos) {
            if (!pump(50) && output_.find(text) == std::string::npos) return false;
            if (tick_ms() >= deadline) return false;
        }
        return true;
    }

    void signal(int sig) const {
        if (pid_ > 0) kill(pid_, sig);
    }
    pid_t pid() const { return pid_; }
    // The command line as ps shows it.
    std::string command_line() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/cmdline", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::replace(text.begin(), text.end(), '\0', ' ');
        return text;
    }

    // Waits for the program to end: its exit status, or -1 when it did not end in time or
    // was killed by a signal.
    int wait_exit(uint32_t timeout_ms) {
        const uint64_t deadline = tick_ms() + timeout_ms;
        while (pid_ > 0 && tick_ms() < deadline) {
            pump(50);
            if (reap(0)) break;
        }
        while (pump(0)) {
        }
        return pid_ > 0 ? -1 : status_;
    }

    const std::string& output() const { return output_; }

  private:
    // Reads what is there within wait_ms; false once the pipe is at its end.
    bool pump(int wait_ms) {
        if (out_ < 0) return false;
        pollfd p{out_, POLLIN, 0};
        poll(&p, 1, wait_ms);
        char buf[4096];
        for (;;) {
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n > 0) {
                output_.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return true;
            close(out_);
            out_ = -1;
            return false;
        }
    }

    bool reap(uint32_t wait_ms) {
        const uint64_t deadline = tick_ms() + wait_ms;
        for (;;) {
            int st = 0;
            const pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                pid_ = -1;
                return true;
            }
            if (tick_ms() >= deadline) return false;
            sleep_ms(20);
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string output_;
};

// The initiator command the program printed for the user, e.g. "iscsi-inq iscsi://...".
std::string printed_command(const std::string& output, const std::string& tool) {
    const std::size_t at = output.find("  " + tool + " iscsi://");
    if (at == std::string::npos) return "";
    const std::size_t end = output.find('\n', at);
    return output.substr(at + 2, end - at - 2);
}

std::string url_in(const std::string& command) {
    const std::size_t at = command.find("iscsi://");
    return at == std::string::npos ? "" : command.substr(at);
}

class HostServe : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }

    // Serves with `args` on a free port until the program says how to reach the disk; a
    // port taken in the meantime is tried again with another.
    void serve(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        for (int attempt = 0; attempt < k_port_attempts; ++attempt) {
            port_ = free_port();
            ASSERT_NE(port_, 0);
            std::vector<std::string> full = args;
            full.insert(full.end(), {"--port", std::to_string(port_)});
            host_ = std::make_unique<host_process>();
            ASSERT_TRUE(host_->start(full, dir_.path(), env)) << "cannot start " << k_host;
            if (host_->wait_for("Ctrl-C stops", k_ready_ms)) break;
            const bool port_taken = host_->output().find("bind failed") != std::string::npos;
            ASSERT_TRUE(port_taken) << "not serving:\n" << host_->output();
            host_->wait_exit(k_exit_ms);
        }
        url_ = url_in(printed_command(host_->output(), "iscsi-inq"));
        ASSERT_EQ(url_, "iscsi://127.0.0.1:" + std::to_string(port_) + "/" NORVALED_TARGET_IQN "/0")
            << host_->output();
    }

    // Ends the program with `sig` and expects a clean exit after a full write-back.
    void stop_cleanly(int sig = SIGINT) {
        host_->signal(sig);
        EXPECT_EQ(host_->wait_exit(k_exit_ms), 0) << host_->output();
        EXPECT_NE(host_->output().find("stopped: everything was written back to the image"),
                  std::string::npos)
            << host_->output();
    }

    void qemu_img(std::vector<std::string> args) {
        args.insert(args.begin(), "qemu-img");
        const cmd_result r = run_cmd(args, k_tool_ms);
        ASSERT_TRUE(r.ok()) << args[1] << ": " << r.describe();
    }

    // Writes k_written bytes of a pattern at the start of the served disk.
    bytes write_pattern(uint32_t seed) {
        const bytes data = pattern(0, k_written, seed);
        const std::string src = dir_.file("src.bin");
        EXPECT_TRUE(write_at(src, 0, data));
        qemu_img({"convert", "-n", "-f", "raw", "-O", "raw", src, url_});
        return data;
    }

    // The first k_written bytes as the initiator reads them through the target.
    bytes read_back() {
        const std::string back = dir_.file("back.bin");
        qemu_img({"convert", "-f", "raw", "-O", "raw", url_, back});
        EXPECT_EQ(size_of(back), static_cast<int64_t>(k_disk));
        return read_at(back, 0, k_written);
    }

    // Writes a pattern, reads it back through the target, stops with `sig`, and finds the
    // pattern in `image` (a local path).
    void round_trip(const std::string& image, int sig) {
        bytes data;
        ASSERT_NO_FATAL_FAILURE(data = write_pattern(0x686f7374 + port_));
        bytes back;
        ASSERT_NO_FATAL_FAILURE(back = read_back());
        EXPECT_TRUE(back == data) << "read back through the target differs";
        ASSERT_NO_FATAL_FAILURE(stop_cleanly(sig));
        EXPECT_TRUE(read_at(image, 0, k_written) == data) << "image file after the exit";
        EXPECT_EQ(size_of(image), static_cast<int64_t>(k_disk));
    }

    scoped_dir dir_;
    std::unique_ptr<host_process> host_;
    uint16_t port_ = 0;
    std::string url_;
};

// The quick start: no image options at all. The command the program prints must work as
// printed, and the demo image must be there afterwards at its full size.
TEST_F(HostServe, DemoImageIsCreatedAndThePrintedCommandReadsIt) {
    ASSERT_NO_FATAL_FAILURE(serve({}));
    const std::string printed = printed_command(host_->output(), "iscsi-inq");
    std::vector<std::string> argv;
    for (std::size_t at = 0; at < printed.size();) {
        const std::size_t end = std::min(printed.find(' ', at), printed.size());
        argv.push_back(printed.substr(at, end - at));
        at = end + 1;
    }
    const cmd_result inq = run_cmd(argv, k_tool_ms);
    EXPECT_TRUE(inq.ok()) << printed << ": " << inq.describe();
    EXPECT_NE(inq.output.find("VELMORAK"), std::string::npos) << inq.output;
    ASSERT_NO_FATAL_FAILURE(stop_cleanly());
    EXPECT_EQ(size_of(dir_.file("norvaled-demo.img")), 256ll << 20);
    EXPECT_NE(host_->output().find("serving norvaled-demo.img (local file, created)"),
              std::string::npos)
        << host_->output();
}

// Written data must reach the file by the exit; the plain status line (output is a pipe)
// must show that traffic.
TEST_F(HostServe, MockImageRoundTripThenSigintWritesEverythingBack) {
    const std::string image = dir_.file("mock.img");
    ASSERT_NO_FATAL_FAILURE(serve({"--image", image, "--size", "64M"}));
    bytes data;
    ASSERT_NO_FATAL_FAILURE(data = write_pattern(0x6d6f636b));
    ASSERT_TRUE(host_->wait_for("status: hits ", 15000)) << host_->output();
    const std::size_t line = host_->output().find("status: hits ");
    const std::string status =
        host_->output().substr(line, host_->output().find('\n', line) - line);
    EXPECT_EQ(status.find("misses 0 "), std::string::npos) << status;
    ASSERT_NO_FATAL_FAILURE(round_trip(image, SIGINT));
}

// An existing image keeps its size and its bytes outside what is written.
TEST_F(HostServe, ExistingImageIsServedAtItsOwnSize) {
    const std::string image = dir_.file("existing.img");
    ASSERT_TRUE(create_sparse_file(image, k_disk));
    const bytes tail = pattern(k_disk - 4096, 4096, 7);
    ASSERT_TRUE(write_at(image, k_disk - 4096, tail));
    ASSERT_NO_FATAL_FAILURE(serve({"--image", image, "--quiet"}));
    EXPECT_NE(host_->output().find("disk    64.0 MiB (67108864 bytes)"), std::string::npos)
        << host_->output();
    ASSERT_NO_FATAL_FAILURE(round_trip(image, SIGTERM));
    EXPECT_TRUE(read_at(image, k_disk - 4096, 4096) == tail);
    EXPECT_EQ(host_->output().find("status:"), std::string::npos) << "--quiet";
}

// --mount through the stand-in initiator (as root, the elevated path): the disk is mounted
// after the start, another process can neither mount nor unmount meanwhile, and Ctrl-C
// unmounts before the stop.
TEST_F(HostServe, MountedDriveKeepsOthersOutAndIsUnmountedOnSigint) {
    if (geteuid() != 0) GTEST_SKIP() << "the elevated path needs root";
    if (!attach_env::have_standin()) GTEST_SKIP() << "the stand-in tools were not built";
    attach_env env;
    ASSERT_TRUE(env.ok());
    const std::string image = dir_.file("mounted.img");
    for (int attempt = 0; attempt < k_port_attempts; ++attempt) {
        port_ = free_port();
        host_ = std::make_unique<host_process>();
        ASSERT_TRUE(host_->start({"--image", image, "--size", "64M", "--port",
                                  std::to_string(port_), "--mount", "e", "--allow-format"},
                                 dir_.path()));
        if (host_->wait_for("Ctrl-C unmounts and stops", k_ready_ms)) break;
        ASSERT_NE(host_->output().find("bind failed"), std::string::npos) << host_->output();
        host_->wait_exit(k_exit_ms);
    }
    EXPECT_NE(host_->output().find("mounted as E: (the image was formatted NTFS)\n"),
              std::string::npos)
        << host_->output();
    EXPECT_NE(host_->output().find("  drive   E:\n"), std::string::npos) << host_->output();

    const cmd_result other =
        run_cmd({k_host, "serve", "--image", dir_.file("other.img"), "--size", "64M", "--port",
                 std::to_string(free_port()), "--mount", "F", "--allow-format", "--quiet"},
                k_tool_ms);
    EXPECT_EQ(other.exit_code, 1) << other.describe();
    EXPECT_NE(other.output.find("error: another process has a norvaled disk mounted (see "
                                "vk_norvaled_mount.log) (code -9)\nhint: vk_norvaled_mount.log"),
              std::string::npos)
        << other.output;
    // This test process is another one too: its unmount must leave the drive and session be.
    EXPECT_EQ(norvaled_unmount(), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(),
                 "another process has a norvaled disk mounted (see vk_norvaled_mount.log)");
    standin_reply volume;
    EXPECT_EQ(standin_call("volume E", volume), 0);
    EXPECT_TRUE(volume.ok) << volume.text;
    const cmd_result sessions = run_cmd({"iscsicli", "SessionList"}, k_tool_ms);
    EXPECT_NE(sessions.output.find("Total of 1 sessions"), std::string::npos) << sessions.output;
    // The log names who holds the lock: any local user could.
    EXPECT_EQ(
        missing_in_order(env.log_lines(),
                         {"unmount: another process holds the machine-wide norvaled mount "
                          "lock (pid " +
                          std::to_string(host_->pid()) + " (norvaled)); not touching its disk"}),
        "");

    host_->signal(SIGINT);
    EXPECT_EQ(host_->wait_exit(k_exit_ms), 0) << host_->output();
    EXPECT_NE(host_->output().find("unmounting E: ...\nunmounted E:\n"), std::string::npos)
        << host_->output();
    EXPECT_NE(host_->output().find("stopped: everything was written back to the image"),
              std::string::npos)
        << host_->output();
}

class HostServeSftp : public HostServe {
  protected:
    void SetUp() override {
        HostServe::SetUp();
        sshd_ = &sshd_start();
        if (IsSkipped()) return;
        ASSERT_TRUE(sshd_ok(*sshd_)) << "no sshd";
        image_ = sshd_->home + "/host-" + std::to_string(getpid()) + ".img";
    }
    std::vector<std::string> sftp_args(int ssh_port = 0) const {
        return {"--sftp",
                sshd_->user + "@127.0.0.1:" + std::to_string(ssh_port ? ssh_port : sshd_->port),
                "--image",
                image_,
                "--size",
                "64M",
                "--quiet",
                "--host-key-sha256",
                sshd_->host_key_sha256};
    }

    const sshd_info* sshd_ = nullptr;
    std::string image_;
};

// A key whose path holds a quotation mark and a backslash: the program must escape them in
// the auth text, or the library reads another path and the login fails. The host key is
// pinned to the server's real one.
TEST_F(HostServeSftp, KeyWithAwkwardPathAndPinnedHostKey) {
    const std::string keydir = dir_.file("we\"ird\\keys");
    std::filesystem::create_directories(keydir);
    const std::string key = keydir + "/id";
    std::filesystem::copy_file(sshd_->key, key);
    std::filesystem::copy_file(sshd_->key + ".pub", key + ".pub");
    std::vector<std::string> args = sftp_args();
    args.insert(args.end(), {"--key", key, "--host-key-sha256", sshd_->host_key_sha256});
    ASSERT_NO_FATAL_FAILURE(serve(args));
    EXPECT_NE(host_->output().find("over SFTP"), std::string::npos) << host_->output();
    ASSERT_NO_FATAL_FAILURE(round_trip(image_, SIGTERM));
}

TEST_F(HostServeSftp, PasswordFromEnvironmentVariable) {
    std::vector<std::string> args = sftp_args();
    args.insert(args.end(), {"--password-env", "NORVALED_TEST_PASSWORD"});
    ASSERT_NO_FATAL_FAILURE(serve(args, {"NORVALED_TEST_PASSWORD=" + sshd_->password}));
    EXPECT_EQ(host_->output().find(sshd_->password), std::string::npos) << "password shown";
    EXPECT_EQ(host_->command_line().find(sshd_->password), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(round_trip(image_, SIGINT));
    EXPECT_EQ(host_->output().find(sshd_->password), std::string::npos) << "password shown";
}

TEST_F(HostServeSftp, WrongPasswordOrHostKeyIsShownWithTextCodeAndHint) {
    struct attempt {
        std::vector<std::string> extra;
        std::string env;
        std::string error;
    };
    const std::vector<attempt> attempts = {
        {{"--password-env", "NORVALED_TEST_PASSWORD"},
         "NORVALED_TEST_PASSWORD=not-" + sshd_->password,
         "error: SSH authentication failed for user " + sshd_->user +
             " (server offers publickey,password; tried password) (code -10)\n"},
        {{"--password-env", "NORVALED_TEST_PASSWORD", "--host-key-sha256",
          "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
         "NORVALED_TEST_PASSWORD=" + sshd_->password,
         "error: SSH host key mismatch for 127.0.0.1 (code -10)\n"},
    };
    for (const attempt& a : attempts) {
        std::vector<std::string> args = sftp_args();
        args.insert(args.end(), a.extra.begin(), a.extra.end());
        host_process p;
        ASSERT_TRUE(p.start(args, dir_.path(), {a.env}));
        EXPECT_EQ(p.wait_exit(k_exit_ms), 1) << p.output();
        EXPECT_NE(p.output().find(a.error + "hint: check the user name"), std::string::npos)
            << p.output();
    }
}

// Data only in the cache when the connection to the image breaks cannot be written back:
// the program must say so with the library's message and exit non-zero, never 0. The disk is
// read first so that the later writes hit cached chunks and need no image I/O at all.
TEST_F(HostServeSftp, LostConnectionAtShutdownExitsNonZeroWithTheLibraryMessage) {
    tcp_proxy proxy(sshd_->port);
    ASSERT_TRUE(proxy.ok());
    std::vector<std::string> args = sftp_args(proxy.port());
    args.insert(args.end(), {"--key", sshd_->key});
    ASSERT_NO_FATAL_FAILURE(serve(args));
    ASSERT_NO_FATAL_FAILURE(read_back());
    proxy.refuse(true); // the server is gone for good: no reconnection can succeed
    proxy.reset_client();
    // The initiator's closing SYNCHRONIZE CACHE may rightly fail now; the data is in the
    // cache either way.
    const std::string src = dir_.file("src.bin");
    ASSERT_TRUE(write_at(src, 0, pattern(0, k_written, 0x6c6f7374)));
    run_cmd({"qemu-img", "convert", "-n", "-f", "raw", "-O", "raw", src, url_}, k_tool_ms);
    host_->signal(SIGINT);
    const int status = host_->wait_exit(k_exit_ms);
    EXPECT_NE(status, 0) << host_->output();
    EXPECT_NE(status, -1) << "did not end in time or crashed:\n" << host_->output();
    EXPECT_NE(host_->output().find("error: final write-back failed: "), std::string::npos)
        << host_->output();
    EXPECT_EQ(host_->output().find("stopped: everything was written back"), std::string::npos)
        << host_->output();
}

} // namespace

// ssh's own ways: a Host alias from ~/.ssh/config, the agent's key, known_hosts, and the
// questions on a terminal. HOME is the test's directory, so ~/.ssh is the test's own.
class HostServeSsh : public HostServeSftp {
  protected:
    std::string ssh_dir() {
        const std::string d = dir_.file(".ssh");
        std::filesystem::create_directories(d);
        return d;
    }
    void write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // "Host nvalias" with the server's address, user and port, plus `more` lines.
    void write_config(const std::string& more = "") {
        write(ssh_dir() + "/config",
              "Host other\n  Port 1\nHost nv* !nvother\n  HostName 127.0.0.1\n"
              "  User " +
                  sshd_->user + "\n  Port " + std::to_string(sshd_->port) + "\n" + more);
    }
    std::string known_line() const {
        const std::string pub = read_text(sshd_->host_key_pub);
        return "[127.0.0.1]:" + std::to_string(sshd_->port) + " " +
               pub.substr(0, pub.find(' ', pub.find(' ') + 1)) + "\n";
    }
    std::string url() const { return "sftp://nvalias" + image_; }
};

TEST_F(HostServeSsh, AliasAgentAndKnownHostsAreAllItTakes) {
    write_config("  IdentityFile ~/.ssh/not_there\n");
    write(ssh_dir() + "/known_hosts", known_line());
    test_agent agent;
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(agent.add(sshd_->key));
    ASSERT_NO_FATAL_FAILURE(
        serve({url(), "--size", "1G", "--quiet"}, {"SSH_AUTH_SOCK=" + agent.socket()}));
    EXPECT_NE(host_->output().find("connecting to " + sshd_->user +
                                   "@127.0.0.1:" + std::to_string(sshd_->port)),
              std::string::npos)
        << host_->output();
    ASSERT_NO_FATAL_FAILURE(stop_cleanly());
    EXPECT_EQ(size_of(image_), 1ll << 30);
}

TEST_F(HostServeSsh, UnknownHostRefusedAcceptedOnRequestAndChangedKeyRefused) {
    write_config("  IdentityFile %d/.ssh/id_test\n");
    std::filesystem::copy_file(sshd_->key_ecdsa, ssh_dir() + "/id_test");
    const std::vector<std::string> args = {url(), "--size", "64M", "--quiet"};
    {
        host_process p;
        ASSERT_TRUE(p.start(args, dir_.path()));
        EXPECT_EQ(p.wait_exit(k_exit_ms), 2) << p.output();
        EXPECT_NE(p.output().find("is not known (" + sshd_->host_key_sha256 +
                                  "); if that is the server's key, give --host-key-sha256 " +
                                  sshd_->host_key_sha256 + " or --accept-new-host-key"),
                  std::string::npos)
            << p.output();
    }
    std::vector<std::string> accept = args;
    accept.push_back("--accept-new-host-key");
    ASSERT_NO_FATAL_FAILURE(serve(accept));
    ASSERT_NO_FATAL_FAILURE(stop_cleanly());
    // One line, hashed or not as /etc/ssh/ssh_config says, that ssh itself finds.
    const std::string added = read_text(ssh_dir() + "/known_hosts");
    EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1) << added;
    const cmd_result found =
        run_cmd({"ssh-keygen", "-F", "[127.0.0.1]:" + std::to_string(sshd_->port), "-f",
                 ssh_dir() + "/known_hosts"},
                k_tool_ms);
    EXPECT_TRUE(found.ok()) << found.describe();
    // Known now: no option needed. Then a changed key: refused even with the option.
    ASSERT_NO_FATAL_FAILURE(serve(args));
    ASSERT_NO_FATAL_FAILURE(stop_cleanly());
    const std::string pub = read_text(sshd_->key + ".pub");
    write(ssh_dir() + "/known_hosts",
          "[127.0.0.1]:" + std::to_string(sshd_->port) + " " + pub.substr(0, pub.rfind(' ')));
    host_process p;
    ASSERT_TRUE(p.start(accept, dir_.path()));
    EXPECT_EQ(p.wait_exit(k_exit_ms), 1) << p.output();
    EXPECT_NE(p.output().find("has CHANGED (" + sshd_->host_key_sha256 + ")"), std::string::npos)
        << p.output();
}

// On a terminal (a pty here) the unknown host is asked about and added hashed, the key's
// passphrase is asked for, and neither the passphrase nor anything secret is shown.
TEST_F(HostServeSsh, TerminalQuestionsForHostAndPassphrase) {
    write_config("  IdentityFile ~/.ssh/id_protected\n  HashKnownHosts yes\n");
    std::filesystem::copy_file(sshd_->key_ecdsa_protected, ssh_dir() + "/id_protected");
    const std::string script = dir_.file("answer_prompts.py");
    write(script, R"(import os, pty, select, signal, sys, time
answers = [(b"(yes/no)? ", b"yes\n"), (b"Enter passphrase for key", sys.argv[1].encode() + b"\n"),
           (b"Ctrl-C stops", None)]
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
out = b""
deadline = time.time() + 30
while time.time() < deadline:
    if answers and answers[0][0] in out:
        expect, reply = answers.pop(0)
        if reply is None:
            os.kill(pid, signal.SIGINT)
        else:
            os.write(fd, reply)
    r, _, _ = select.select([fd], [], [], 0.2)
    if r:
        try:
            data = os.read(fd, 4096)
        except OSError:
            break
        if not data:
            break
        out += data
sys.stdout.write(out.decode(errors="replace"))
if answers:
    os.kill(pid, signal.SIGKILL)
_, status = os.waitpid(pid, 0)
sys.exit(os.WEXITSTATUS(status) if os.WIFEXITED(status) else 99)
)");
    const cmd_result r = run_cmd({"env", "-u", "SSH_AUTH_SOCK", "HOME=" + dir_.path(), "python3",
                                  script, sshd_->passphrase, k_host, "serve", url(), "--size",
                                  "64M", "--quiet", "--port", std::to_string(free_port())},
                                 k_exit_ms);
    EXPECT_TRUE(r.ok()) << r.describe();
    EXPECT_NE(r.output.find("Host key fingerprint is " + sshd_->host_key_sha256), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("stopped: everything was written back"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(sshd_->passphrase), std::string::npos) << "passphrase shown";
    const std::string known = read_text(ssh_dir() + "/known_hosts");
    EXPECT_EQ(known.rfind("|1|", 0), 0u) << known;
}
