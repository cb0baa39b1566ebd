// The norvaled program's command line: version and help, every way a command line can be
// wrong (exit status 2, one line, nothing touched), and how library failures are shown.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "support/library_helpers.h"
#include "support/run_cmd.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t k_run_ms = 30000;
const std::string k_host = NORVALED_BINARY_DIR "/norvaled";

cmd_result host(std::vector<std::string> args) {
    args.insert(args.begin(), k_host);
    return run_cmd(args, k_run_ms);
}

// A loopback socket that listens but never answers: TCP connects complete (the kernel
// accepts them into the backlog) and then nothing is ever sent.
class silent_listener {
  public:
    silent_listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd_, 4) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
    }
    ~silent_listener() {
        if (fd_ >= 0) close(fd_);
    }
    silent_listener(const silent_listener&) = delete;
    silent_listener& operator=(const silent_listener&) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(HostCommands, VersionHelpAndUnknownCommand) {
    const cmd_result version = host({"version"});
    EXPECT_EQ(version.exit_code, 0) << version.describe();
    EXPECT_EQ(version.output, "norvaled 1.0.6\n");

    const cmd_result help = host({"--help"});
    EXPECT_EQ(help.exit_code, 0) << help.describe();
    EXPECT_NE(help.output.find("serve"), std::string::npos) << help.output;

    const cmd_result none = host({});
    EXPECT_EQ(none.exit_code, 2) << none.describe();
    EXPECT_NE(none.output.find("usage: norvaled"), std::string::npos) << none.output;

    const cmd_result unknown = host({"srve"});
    EXPECT_EQ(unknown.exit_code, 2) << unknown.describe();
    EXPECT_EQ(unknown.output, "error: unknown command 'srve' (see norvaled --help)\n");
}

TEST(HostCommands, ServeHelpExplainsEveryOption) {
    const cmd_result help = host({"serve", "--help"});
    ASSERT_EQ(help.exit_code, 0) << help.describe();
    for (const char* option : {"--image", "--size", "--port", "--sftp", "--key", "--pubkey",
                               "--password-env", "--passphrase-env", "--host-key-sha256",
                               "--connect-timeout-ms", "--mount", "--allow-format", "--quiet",
                               "--help", "-F", "--accept-new-host-key", "--insecure-any-host-key"})
        EXPECT_NE(help.output.find(std::string(" ") + option + " "), std::string::npos)
            << option << " missing from:\n"
            << help.output;
}

struct bad_line {
    std::vector<std::string> args;
    const char* message;    // the whole line after "error: "
    bool with_image = true; // run with --image in a scratch directory
};

// Each is refused before anything is connected or created, with one line and status 2.
TEST(HostCommandLine, BadOptionsExitTwoWithOneLine) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    const std::string img = dir.file("never.img");
    const std::vector<bad_line> cases = {
        {{"--bogus"}, "unknown option '--bogus' (see norvaled serve --help)"},
        {{"extra"}, "unexpected argument 'extra' (see norvaled serve --help)"},
        {{"--size", "12Q"}, "bad size '12Q': give bytes or a number with K, M, G or T, e.g. 256M"},
        {{"--size", "-64M"},
         "bad size '-64M': give bytes or a number with K, M, G or T, e.g. 256M"},
        {{"--size", "99999999999T"},
         "bad size '99999999999T': give bytes or a number with K, M, G or T, e.g. 256M"},
        {{"--size", "67108863"}, "size '67108863' is below the minimum of 64M"},
        {{"--size=63M"}, "size '63M' is below the minimum of 64M"},
        {{"--size"}, "--size needs a value"},
        {{"--port", "0"}, "bad port '0': give a number from 1 to 65535"},
        {{"--port", "65536"}, "bad port '65536': give a number from 1 to 65535"},
        {{"--quiet=yes"}, "--quiet takes no value"},
        {{"--key", "/k"}, "--key needs --sftp USER@HOST"},
        {{"--password-env", "PW"}, "--password-env needs --sftp USER@HOST"},
        {{"--connect-timeout-ms", "500"}, "--connect-timeout-ms needs --sftp USER@HOST"},
        {{"--sftp", "@host"}, "bad --sftp '@host': give [USER@]HOST[:PORT]"},
        {{"--sftp", "u@h:99999"}, "bad --sftp 'u@h:99999': give [USER@]HOST[:PORT]"},
        {{"sftp://h"}, "bad URL 'sftp://h': give sftp://[USER@]HOST[:PORT]/PATH", false},
        {{"sftp://u@h:0/x.img"},
         "bad URL 'sftp://u@h:0/x.img': give sftp://[USER@]HOST[:PORT]/PATH",
         false},
        {{"sftp://h/~/"}, "bad URL 'sftp://h/~/': the path must name the image file", false},
        {{"sftp://h/x.img", "--size", "64M", "--insecure-any-host-key", "--accept-new-host-key"},
         "--insecure-any-host-key excludes --accept-new-host-key and --host-key-sha256",
         false},
        {{"--sftp", "u@mock", "--image", "/x", "--size", "64M"},
         "--sftp host 'mock' names no server; serve a local file with --image alone"},
        {{"--sftp", "u@h"}, "--sftp needs --image, the image's path on the server", false},
        {{"--sftp", "u@h", "--image", "/x"},
         "--sftp needs --size, the size of the disk (an image is never shortened)"},
        {{"--sftp", "u@h", "--image", "/x", "--size", "64M", "--connect-timeout-ms", "0"},
         "bad --connect-timeout-ms '0': give a positive number of milliseconds"},
        {{"--sftp", "u@h", "--size", "64M", "--pubkey", "/k.pub"}, "--pubkey needs --key FILE"},
        {{"--sftp", "u@h", "--size", "64M", "--passphrase-env", "P"},
         "--passphrase-env needs --key FILE"},
        {{"--sftp", "u@h", "--size", "64M", "--key", "/k", "--password-env", "P"},
         "--key and --password-env exclude each other: give one way to log in"},
        {{"--mount", "AB"}, "bad drive letter 'AB': give one letter from A to Z"},
        {{"--allow-format"}, "--allow-format needs --mount LETTER"},
    };
    for (const bad_line& c : cases) {
        std::vector<std::string> args = {"serve"};
        if (c.with_image) args.insert(args.end(), {"--image", img});
        args.insert(args.end(), c.args.begin(), c.args.end());
        const cmd_result r = host(args);
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        EXPECT_EQ(r.exit_code, 2) << shown << r.describe();
        EXPECT_EQ(r.output, std::string("error: ") + c.message + "\n") << shown;
        EXPECT_EQ(size_of(img), -1) << shown << "created the image";
    }
}

// Secrets and key files are checked before any connect: a missing one is a command-line
// problem, not an SSH failure some seconds later.
TEST(HostCommandLine, MissingSecretOrKeyFileIsRefusedBeforeConnecting) {
    const std::vector<std::string> sftp = {"serve",  "--sftp", "u@127.0.0.1:1", "--image", "/x.img",
                                           "--size", "64M"};
    unsetenv("NORVALED_TEST_UNSET_PW");
    std::vector<std::string> args = sftp;
    args.insert(args.end(), {"--password-env", "NORVALED_TEST_UNSET_PW"});
    cmd_result r = host(args);
    EXPECT_EQ(r.exit_code, 2) << r.describe();
    EXPECT_EQ(r.output, "error: --password-env NORVALED_TEST_UNSET_PW: that environment "
                        "variable is not set\n");

    args = sftp;
    args.insert(args.end(), {"--key", "/nonexistent/id_ed25519"});
    r = host(args);
    EXPECT_EQ(r.exit_code, 2) << r.describe();
    EXPECT_EQ(r.output, "error: --key /nonexistent/id_ed25519: cannot read that file\n");
}

// Without --size a local image keeps its own size; one below the minimum is not lengthened
// behind the user's back.
TEST(HostCommandLine, SmallExistingImageNeedsAnExplicitSize) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    const std::string img = dir.file("small.img");
    ASSERT_TRUE(create_sparse_file(img, 1u << 20));
    const cmd_result r = host({"serve", "--image", img});
    EXPECT_EQ(r.exit_code, 2) << r.describe();
    EXPECT_EQ(r.output,
              "error: " + img + " is 1.0 MiB, below the 64M minimum; give --size to lengthen it\n");
    EXPECT_EQ(size_of(img), 1 << 20);
}

// The consent gate comes before any initiator step, so this runs anywhere: a blank image is
// not formatted without --allow-format, and the program stops, disconnects and says how.
TEST(HostLibraryFailures, MountOfBlankImageWithoutConsentStopsWithHint) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    const std::string img = dir.file("m.img");
    const uint16_t port = free_port();
    ASSERT_NE(port, 0);
    const cmd_result r = host({"serve", "--image", img, "--size", "64M", "--port",
                               std::to_string(port), "--mount", "n:", "--quiet"});
    EXPECT_EQ(r.exit_code, 1) << r.describe();
    EXPECT_NE(r.output.find("error: disk image is blank and must be formatted (NTFS) before first "
                            "use — confirm to continue (code -11)\n"
                            "hint: add --allow-format to let a blank or unrecognised image be "
                            "formatted as NTFS\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Ctrl-C"), std::string::npos) << r.output;
    EXPECT_EQ(size_of(img), 64 << 20); // created by the start, nothing written into it
    EXPECT_FALSE(port_accepts(port));
}

// Library failures: the library's own text with its code, then a hint.
TEST(HostLibraryFailures, RefusedConnectShowsTextCodeAndHint) {
    const uint16_t port = free_port();
    ASSERT_NE(port, 0);
    const cmd_result r = host({"serve", "--sftp", "u@127.0.0.1:" + std::to_string(port), "--image",
                               "/x.img", "--size", "64M"});
    EXPECT_EQ(r.exit_code, 1) << r.describe();
    EXPECT_NE(r.output.find("error: cannot connect to 127.0.0.1 (code -8)\n"
                            "hint: check the host name and port\n"),
              std::string::npos)
        << r.output;
}

// The budget reaches the library: its message states the limit in seconds.
TEST(HostLibraryFailures, ConnectTimeoutOptionSetsTheLibraryBudget) {
    silent_listener silent;
    ASSERT_NE(silent.port(), 0);
    const cmd_result r =
        host({"serve", "--sftp", "u@127.0.0.1:" + std::to_string(silent.port()), "--image",
              "/x.img", "--size", "64M", "--connect-timeout-ms", "2000"});
    EXPECT_EQ(r.exit_code, 1) << r.describe();
    EXPECT_NE(r.output.find("timed out after 2 s"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("(code -13)\nhint: check the host and port"), std::string::npos)
        << r.output;
}

TEST(HostLibraryFailures, PortInUseShowsBindFailureAndHint) {
    silent_listener taken;
    ASSERT_NE(taken.port(), 0);
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    const std::string port = std::to_string(taken.port());
    const cmd_result r =
        host({"serve", "--image", dir.file("p.img"), "--size", "64M", "--port", port});
    EXPECT_EQ(r.exit_code, 1) << r.describe();
    EXPECT_NE(r.output.find("error: bind failed on port " + port +
                            " (code -8)\nhint: the port may be in use; try another --port\n"),
              std::string::npos)
        << r.output;
}

} // namespace
