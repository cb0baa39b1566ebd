// norvaled_connect against a real OpenSSH sshd and against TCP peers that misbehave, and the
// auth-text scanner.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "norvaled.h"
#include "platform/net.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/auth_text.h"
#include "store/sftp.h"
#include "support/library_helpers.h"
#include "support/sshd_fixture.h"
#include "support/tcp_proxy.h"
#include "support/temp_dir.h"

namespace {

const std::string k_em_dash = "\xE2\x80\x94";

int32_t connect_to(const sshd_info& s, const std::string& auth, int port = 0) {
    return norvaled_connect("127.0.0.1", port != 0 ? port : s.port, s.user.c_str(), auth.c_str());
}

std::string key_auth(const std::string& key, const std::string& pubkey = "",
                     const std::string& passphrase = "") {
    std::string a = "{\"key_path\":" + json_quote(key);
    if (!pubkey.empty()) a += ",\"pubkey_path\":" + json_quote(pubkey);
    if (!passphrase.empty()) a += ",\"passphrase\":" + json_quote(passphrase);
    return a + "}";
}

// What a failed connect must leave behind: nothing, ready for the next connect.
void expect_released(int fds_before) {
    EXPECT_EQ(g_connected, 0);
    EXPECT_FALSE(link_state().mock);
    EXPECT_EQ(link_state().sock, k_bad_sock);
    EXPECT_EQ(link_state().session, nullptr);
    EXPECT_EQ(link_state().sftp, nullptr);
    EXPECT_EQ(stat_value("connected"), 0);
    EXPECT_EQ(open_fd_count(), fds_before);
}

void expect_connected_then_disconnect() {
    EXPECT_STREQ(norvaled_last_error(), "");
    EXPECT_EQ(stat_value("connected"), 1);
    EXPECT_NE(link_state().sftp, nullptr);
    EXPECT_EQ(norvaled_disconnect(), 0);
    EXPECT_EQ(stat_value("connected"), 0);
}

// Today's message first; what the server offered and what was tried follow it.
void expect_auth_failed() {
    const std::string message = norvaled_last_error();
    EXPECT_EQ(message.rfind("SSH authentication failed for user nvtest (server offers "
                            "publickey,password; tried ",
                            0),
              0u)
        << message;
}

void copy_file(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

class Connect : public sshd_test {};

} // namespace

TEST_F(Connect, PasswordLoginAndReconnect) {
    const int fds = open_fd_count();
    ASSERT_EQ(connect_to(sshd(), auth_password(sshd())), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
    EXPECT_EQ(norvaled_disconnect(), 0); // a second one does nothing
    EXPECT_EQ(open_fd_count(), fds);
    // libssh2 was released and can start again in the same process.
    ASSERT_EQ(connect_to(sshd(), auth_password(sshd())), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
}

TEST_F(Connect, KeyLoginWithAndWithoutPubkeyPath) {
    ASSERT_EQ(connect_to(sshd(), key_auth(sshd().key, sshd().key + ".pub")), 0)
        << norvaled_last_error();
    expect_connected_then_disconnect();
    ASSERT_EQ(connect_to(sshd(), key_auth(sshd().key)), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
}

TEST_F(Connect, PubFileBesideTheKeyIsTheOneUsed) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    // A key whose ".pub" neighbour belongs to another (authorised) key: if the library really
    // takes the neighbour, the server accepts the offer and the signature then fails.
    const std::string key = dir.file("mismatched");
    copy_file(sshd().key, key);
    copy_file(sshd().key_protected + ".pub", key + ".pub");
    const int fds = open_fd_count();
    EXPECT_EQ(connect_to(sshd(), key_auth(key)), NORVALED_E_SSH);
    expect_auth_failed();
    expect_released(fds);
    // An explicit "pubkey_path" wins over the neighbour.
    ASSERT_EQ(connect_to(sshd(), key_auth(key, sshd().key + ".pub")), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
}

TEST_F(Connect, KeyWithoutPubFile) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    const std::string key = dir.file("lonely");
    copy_file(sshd().key, key);
    ASSERT_EQ(connect_to(sshd(), key_auth(key)), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
}

TEST_F(Connect, KeyWithPassphrase) {
    const std::string& key = sshd().key_protected;
    ASSERT_EQ(connect_to(sshd(), key_auth(key, "", sshd().passphrase)), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
    const int fds = open_fd_count();
    EXPECT_EQ(connect_to(sshd(), key_auth(key, "", "wrong phrase")), NORVALED_E_SSH);
    expect_auth_failed();
    expect_released(fds);
    EXPECT_EQ(connect_to(sshd(), key_auth(key)), NORVALED_E_SSH);
    expect_released(fds);
}

TEST_F(Connect, WrongPasswordAndMissingCredentials) {
    const int fds = open_fd_count();
    for (const char* auth : {"{\"password\":\"not-the-password\"}", "", "{}", "{\"user\":\"x\"}"}) {
        EXPECT_EQ(connect_to(sshd(), auth), NORVALED_E_SSH) << auth;
        expect_auth_failed();
        expect_released(fds);
    }
    EXPECT_EQ(norvaled_connect("127.0.0.1", sshd().port, sshd().user.c_str(), nullptr),
              NORVALED_E_SSH);
    expect_auth_failed();
    expect_released(fds);
    ASSERT_EQ(connect_to(sshd(), auth_password(sshd())), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
}

TEST_F(Connect, PasswordIsTriedAloneWhenBothAreGiven) {
    // A good key next to a wrong password: the key must not rescue the login.
    const std::string wrong =
        "{\"password\":\"wrong\",\"key_path\":" + json_quote(sshd().key) + "}";
    EXPECT_EQ(connect_to(sshd(), wrong), NORVALED_E_SSH);
    expect_auth_failed();
    const std::string good =
        "{\"password\":" + json_quote(sshd().password) + ",\"key_path\":\"/nonexistent/key\"}";
    ASSERT_EQ(connect_to(sshd(), good), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
}

TEST_F(Connect, HostKeyPinning) {
    const std::string pin = sshd().host_key_sha256; // "SHA256:..."
    const std::string bare = pin.substr(std::strlen("SHA256:"));
    for (const std::string& p : {pin, bare}) {
        const std::string auth = "{\"password\":" + json_quote(sshd().password) +
                                 ",\"host_key_sha256\":" + json_quote(p) + "}";
        ASSERT_EQ(connect_to(sshd(), auth), 0) << p << ": " << norvaled_last_error();
        expect_connected_then_disconnect();
    }
    std::string other = bare;
    other[0] = other[0] == 'A' ? 'B' : 'A';
    for (const std::string& p : {other, "SHA256:" + other, std::string("SHA256:"), bare + "x"}) {
        const int fds = open_fd_count();
        const std::string auth = "{\"password\":" + json_quote(sshd().password) +
                                 ",\"host_key_sha256\":" + json_quote(p) + "}";
        EXPECT_EQ(connect_to(sshd(), auth), NORVALED_E_SSH) << p;
        EXPECT_EQ(std::string(norvaled_last_error()), "SSH host key mismatch for 127.0.0.1") << p;
        expect_released(fds);
    }
}

TEST_F(Connect, AlreadyConnectedOverSsh) {
    ASSERT_EQ(connect_to(sshd(), auth_password(sshd())), 0) << norvaled_last_error();
    LIBSSH2_SESSION* session = link_state().session;
    EXPECT_EQ(connect_to(sshd(), auth_password(sshd())), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(), "already connected");
    EXPECT_EQ(norvaled_connect("mock", 0, "tester", nullptr), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(), "already connected");
    EXPECT_EQ(link_state().session, session);
    EXPECT_FALSE(link_state().mock);
    EXPECT_EQ(stat_value("connected"), 1);
    EXPECT_EQ(norvaled_disconnect(), 0);
}

TEST(ConnectMock, ArgumentsAndState) {
    const int fds = open_fd_count();
    struct bad_args {
        const char* host;
        const char* user;
    };
    for (const bad_args& a : {bad_args{"mock", ""}, bad_args{"mock", nullptr},
                              bad_args{"", "tester"}, bad_args{nullptr, "tester"}}) {
        EXPECT_EQ(norvaled_connect(a.host, 0, a.user, nullptr), NORVALED_E_ARG);
        EXPECT_STREQ(norvaled_last_error(), "invalid host or user arguments");
    }
    // Mock mode looks at neither the port nor the auth text, and opens nothing.
    ASSERT_EQ(norvaled_connect("mock", -5, "tester", "{not json"), 0);
    EXPECT_STREQ(norvaled_last_error(), "");
    EXPECT_TRUE(link_state().mock);
    EXPECT_EQ(stat_value("connected"), 1);
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_EQ(norvaled_connect("mock", 0, "tester", nullptr), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(), "already connected");
    EXPECT_EQ(norvaled_disconnect(), 0);
    EXPECT_FALSE(link_state().mock);
    EXPECT_EQ(stat_value("connected"), 0);
    EXPECT_EQ(norvaled_disconnect(), 0);
}

TEST(ConnectNet, MockInOtherCaseIsAHostName) {
    const int fds = open_fd_count();
    EXPECT_LT(norvaled_connect("Mock", free_port(), "tester", nullptr), 0);
    EXPECT_NE(std::string(norvaled_last_error()), "");
    expect_released(fds);
}

TEST(ConnectNet, UnresolvableHost) {
    const int fds = open_fd_count();
    EXPECT_EQ(norvaled_connect("no-such-host.invalid", 22, "tester", nullptr), NORVALED_E_NET);
    EXPECT_STREQ(norvaled_last_error(), "cannot resolve host: no-such-host.invalid");
    expect_released(fds);
}

TEST(ConnectNet, RefusedPort) {
    const int fds = open_fd_count();
    EXPECT_EQ(norvaled_connect("127.0.0.1", free_port(), "tester", "{\"password\":\"x\"}"),
              NORVALED_E_NET);
    EXPECT_STREQ(norvaled_last_error(), "cannot connect to 127.0.0.1");
    expect_released(fds);
}

namespace {

// A loopback listener that completes TCP connections (the kernel does that) and never sends
// a byte: an SSH client waits for a banner that does not come.
class silent_server {
  public:
    silent_server() : sock_(net_socket_tcp4()) {
        if (sock_ && net_bind_loopback(sock_.get(), 0) == 0 && net_listen(sock_.get(), 8) == 0)
            port_ = net_local_port(sock_.get());
    }
    int port() const { return port_; }

  private:
    unique_sock sock_;
    int port_ = 0;
};

std::string handshake_timeout_text(int port, int seconds) {
    return "SSH handshake with 127.0.0.1:" + std::to_string(port) + " timed out after " +
           std::to_string(seconds) + " s " + k_em_dash +
           " the host accepted the connection but did not answer as an SSH server";
}

void expect_handshake_timeout(const char* budget, int seconds) {
    silent_server server;
    ASSERT_NE(server.port(), 0);
    setenv("NORVALED_CONNECT_TIMEOUT_MS", budget, 1);
    const int fds = open_fd_count();
    EXPECT_EQ(norvaled_connect("127.0.0.1", server.port(), "tester", "{\"password\":\"x\"}"),
              NORVALED_E_TIMEOUT)
        << budget;
    EXPECT_EQ(std::string(norvaled_last_error()), handshake_timeout_text(server.port(), seconds))
        << budget;
    expect_released(fds);
}

} // namespace

TEST(ConnectNet, SilentServerTimesOutInTheHandshake) {
    expect_handshake_timeout("2500", 2);
    // 31 characters is still a budget: the leading number counts.
    expect_handshake_timeout("2500                           ", 2);
}

// Texts that are no budget fall back to 15 s; each of these waits that long.
TEST(ConnectNet, BudgetTextTooLongFallsBackTo15s) {
    expect_handshake_timeout("2500                            ", 15); // 32 characters
}

TEST(ConnectNet, BudgetTextNotPositiveFallsBackTo15s) {
    expect_handshake_timeout("0", 15);
}

TEST(ConnectNet, UnansweredConnectTimesOut) {
    // A listener with a backlog of 0 that never accepts: once its queue is full the kernel
    // drops further SYNs, so a connect stays unanswered.
    unique_sock listener(net_socket_tcp4());
    ASSERT_TRUE(listener);
    ASSERT_EQ(net_bind_loopback(listener.get(), 0), 0);
    ASSERT_EQ(net_listen(listener.get(), 0), 0);
    const int port = net_local_port(listener.get());
    net_addr addr;
    ASSERT_EQ(net_resolve_ipv4("127.0.0.1", port, &addr), 0);
    std::vector<unique_sock> queued;
    bool full = false;
    for (int i = 0; i < 16 && !full; ++i) {
        unique_sock s(net_socket(addr));
        full = net_connect_within(s.get(), addr, 300) != connect_result::connected;
        if (!full) queued.push_back(std::move(s));
    }
    ASSERT_TRUE(full) << "the listen queue never filled";

    setenv("NORVALED_CONNECT_TIMEOUT_MS", "2500", 1);
    const int fds = open_fd_count();
    EXPECT_EQ(norvaled_connect("127.0.0.1", port, "tester", nullptr), NORVALED_E_TIMEOUT);
    EXPECT_EQ(std::string(norvaled_last_error()), "connect to 127.0.0.1:" + std::to_string(port) +
                                                      " timed out after 2 s " + k_em_dash +
                                                      " check the host is up and the port is open");
    expect_released(fds);
}

// With reconnection switched off, a broken link stays broken: errors, never a dead process.
TEST_F(Connect, ServerResetMidSessionGivesErrorsNotADeadProcess) {
    // The default disposition, as in a host that never touched SIGPIPE: a send on the reset
    // connection that raised it would end this process.
    std::signal(SIGPIPE, SIG_DFL);
    tcp_proxy proxy(sshd().port);
    ASSERT_TRUE(proxy.ok());
    std::string auth = auth_password(sshd());
    auth.insert(auth.size() - 1, ",\"reconnect\":false");
    ASSERT_EQ(connect_to(sshd(), auth, proxy.port()), 0) << norvaled_last_error();
    const std::string image = sshd().home + "/reset.img";
    ASSERT_EQ(start_on_free_port(image, 64 << 20), 0) << norvaled_last_error();
    std::vector<uint8_t> buf(4096, 0x33);
    ASSERT_EQ(bc_write(0, buf.data(), 4096), 0);
    ASSERT_EQ(norvaled_flush(), 0) << norvaled_last_error();

    proxy.reset_client();
    EXPECT_EQ(bc_write(8 * uint64_t{k_chunk_size} + 512, buf.data(), 512), -1); // its load fails
    EXPECT_EQ(bc_read(9 * uint64_t{k_chunk_size}, buf.data(), 4096), -1);
    ASSERT_EQ(bc_write(0, buf.data(), 4096), 0); // a hit: only the cache is touched
    EXPECT_EQ(norvaled_flush(), NORVALED_E_SSH);
    EXPECT_EQ(stat_value("dirty_chunks"), 1);
    EXPECT_NE(norvaled_stop(), 0); // the final write-back cannot reach the server
    EXPECT_EQ(stat_value("running"), 0);
    EXPECT_EQ(norvaled_disconnect(), 0);
    EXPECT_EQ(stat_value("connected"), 0);
    // The library is usable again.
    ASSERT_EQ(connect_to(sshd(), auth_password(sshd())), 0) << norvaled_last_error();
    expect_connected_then_disconnect();
}

// The auth text is scanned, not parsed; these are the rules a host's JSON writer meets.
TEST(JsonGetString, Values) {
    char out[64];
    json_get_string("{\"password\":\"abc\"}", "password", out, sizeof out);
    EXPECT_STREQ(out, "abc");
    json_get_string("{\"password\" \t\r\n : \"a b\"}", "password", out, sizeof out);
    EXPECT_STREQ(out, "a b");
    json_get_string(R"({"password" : "q\"uo\\te"})", "password", out, sizeof out);
    EXPECT_STREQ(out, "q\"uo\\te");
    json_get_string(R"({"k":"a\nb\rc\td\/e\u0041"})", "k", out, sizeof out);
    EXPECT_STREQ(out, "a\nb\rc\td/eu0041");
    json_get_string("{\"k\":\"ab\\", "k", out, sizeof out); // backslash ends the text
    EXPECT_STREQ(out, "ab\\");
    json_get_string("{\"k\":\"unterminated", "k", out, sizeof out);
    EXPECT_STREQ(out, "unterminated");
    json_get_string("{\"key_path\":\"/k\",\"pubkey_path\":\"/p\"}", "key_path", out, sizeof out);
    EXPECT_STREQ(out, "/k");
}

TEST(JsonGetString, NoStringGivesEmpty) {
    char out[16];
    for (const char* text : {"{\"password\":123}", "{\"password\":true}", "{\"password\":null}",
                             "{\"password\":", "{\"other\":\"x\"}", "{\"Password\":\"x\"}", ""}) {
        std::strcpy(out, "stale");
        json_get_string(text, "password", out, sizeof out);
        EXPECT_STREQ(out, "") << text;
    }
    std::strcpy(out, "kept");
    json_get_string(nullptr, "password", out, sizeof out);
    EXPECT_STREQ(out, "kept");
}

TEST(JsonGetString, CutAtSizeMinusOne) {
    char out[8];
    std::memset(out, 'x', sizeof out);
    json_get_string("{\"k\":\"0123456789\"}", "k", out, 4);
    EXPECT_STREQ(out, "012");
    EXPECT_EQ(out[4], 'x');                                // nothing written past the given size
    json_get_string(R"({"k":"\"\"\"\"\""})", "k", out, 4); // escapes count as one character
    EXPECT_STREQ(out, "\"\"\"");
    json_get_string("{\"k\":\"abc\"}", "k", out, 1);
    EXPECT_STREQ(out, "");
}

// A link that dies while idle (no byte moves, as when a NAT forgets the flow) is noticed by
// the keep-alive probe, not minutes later by TCP; written data waits in the cache and reaches
// the image on its own once the link is made again.
TEST_F(Connect, AnIdleLinkThatDiesIsNoticedAndMadeAgain) {
    tcp_proxy proxy(sshd().port);
    ASSERT_TRUE(proxy.ok());
    ASSERT_EQ(connect_to(sshd(), auth_password(sshd()), proxy.port()), 0) << norvaled_last_error();
    const std::string image = sshd().home + "/idle.img";
    ASSERT_EQ(start_on_free_port(image, 64 << 20), 0) << norvaled_last_error();
    const std::vector<uint8_t> data(8192, 0x5a);
    ASSERT_EQ(bc_write(3 * uint64_t{k_chunk_size}, data.data(), 8192), 0);
    ASSERT_EQ(norvaled_flush(), 0) << norvaled_last_error();
    const std::vector<uint8_t> later(4096, 0xa5);
    ASSERT_EQ(bc_write(3 * uint64_t{k_chunk_size}, later.data(), 4096), 0); // dirty from now on

    proxy.stall(true);
    // Idle 15 s, then 5 s for the probe's answer: the link is down well before TCP would say.
    ASSERT_TRUE(wait_until(60000, [] { return stat_value("link_up") == 0; })) << norvaled_stats();
    EXPECT_EQ(stat_value("dirty_chunks"), 1);
    std::vector<uint8_t> got(4096);
    EXPECT_EQ(bc_read(3 * uint64_t{k_chunk_size}, got.data(), 4096), 0) << "a hit needs no link";
    EXPECT_EQ(got, later);
    proxy.stall(false);
    proxy.reset_client(); // the stalled connection's bytes must not reach the server late

    ASSERT_TRUE(wait_until(120000, [] { return stat_value("reconnects") == 1; }))
        << norvaled_stats();
    ASSERT_TRUE(wait_until(60000, [] { return stat_value("dirty_chunks") == 0; }))
        << norvaled_stats();
    EXPECT_EQ(stat_value("link_up"), 1);
    EXPECT_EQ(read_at(image, 3 * uint64_t{k_chunk_size}, 4096), later);
    EXPECT_EQ(norvaled_disconnect(), 0) << norvaled_last_error();
    std::filesystem::remove(image);
}
