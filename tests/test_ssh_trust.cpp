// What norvaled_connect trusts and how it logs in beyond a password and one key: known_hosts
// (plain, hashed, added to, changed, revoked), the host-key algorithm it asks for, every key
// type as user and host key, the ssh-agent and keyboard-interactive, against real OpenSSH
// servers.
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "norvaled.h"
#include "support/run_cmd.h"
#include "support/ssh_agent.h"
#include "support/sshd_fixture.h"
#include "support/temp_dir.h"

namespace {

std::string read_file(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

void write_file(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// "keytype base64" of a .pub file, without its comment.
std::string key_of(const std::string& pub_file) {
    const std::string text = read_file(pub_file);
    const std::size_t second_space = text.find(' ', text.find(' ') + 1);
    return text.substr(0, second_space);
}

std::string host_name(int port) {
    return "[127.0.0.1]:" + std::to_string(port);
}

std::string with_known_hosts(const sshd_info& s, const std::string& file,
                             const std::string& more = "") {
    return "{\"password\":" + json_quote(s.password) + ",\"known_hosts\":" + json_quote(file) +
           more + "}";
}

int32_t connect_port(const sshd_info& s, int port, const std::string& auth) {
    const int32_t rc = norvaled_connect("127.0.0.1", port, s.user.c_str(), auth.c_str());
    if (rc == 0) norvaled_disconnect();
    return rc;
}

class SshTrust : public sshd_test {
  protected:
    void SetUp() override {
        sshd_test::SetUp();
        // The developer's own agent and keys must never take part.
        unsetenv("SSH_AUTH_SOCK");
    }
    int32_t connect(const std::string& auth) { return connect_port(sshd(), sshd().port, auth); }
    std::string error() const { return norvaled_last_error(); }
    scoped_dir dir_;
};

TEST_F(SshTrust, KnownHostsKnownUnknownAddedChangedAndRevoked) {
    if (!sshd_ok(sshd())) return;
    const std::string file = dir_.file("known_hosts");
    const std::string host_key = key_of(sshd().host_key_pub);
    const std::string fp = sshd().host_key_sha256;

    // Unknown: no file at all, then a file holding only other hosts (and the host on port 22,
    // which is not the port used). Refused before authentication, with the fingerprint.
    const std::string others = "# comment\n127.0.0.1 " + host_key + "\nother.example " + host_key;
    for (const bool exists : {false, true}) {
        if (exists) write_file(file, others); // no line end after the last line
        EXPECT_EQ(connect(with_known_hosts(sshd(), file)), NORVALED_E_SSH);
        EXPECT_EQ(error(), "SSH host key for 127.0.0.1 is not known (" + fp + ")");
    }
    // Added with known_hosts_add: one line appended, the rest kept byte for byte.
    ASSERT_EQ(connect(with_known_hosts(sshd(), file, ",\"known_hosts_add\":true")), 0) << error();
    EXPECT_EQ(read_file(file), others + "\n" + host_name(sshd().port) + " " + host_key + "\n");
    ASSERT_EQ(connect(with_known_hosts(sshd(), file)), 0) << error();
    EXPECT_EQ(read_file(file), others + "\n" + host_name(sshd().port) + " " + host_key + "\n");

    // A different key of the same type for the host: refused even with known_hosts_add, and
    // the file is not touched. Lines libssh2 cannot read come first and are skipped.
    const std::string changed = "garbage line\n@cert-authority * " + host_key + "\n" +
                                host_name(sshd().port) + " " + key_of(sshd().key + ".pub") + "\n";
    write_file(file, changed);
    EXPECT_EQ(connect(with_known_hosts(sshd(), file, ",\"known_hosts_add\":\"true\"")),
              NORVALED_E_SSH);
    EXPECT_EQ(error(), "SSH host key for 127.0.0.1 has CHANGED (" + fp + "); refusing to connect");
    EXPECT_EQ(read_file(file), changed);

    // Revoked: refused although listed.
    write_file(file, host_name(sshd().port) + " " + host_key + "\n@revoked * " + host_key + "\n");
    EXPECT_EQ(connect(with_known_hosts(sshd(), file)), NORVALED_E_SSH);
    EXPECT_NE(error().find("REVOKED (" + fp + ")"), std::string::npos) << error();
}

TEST_F(SshTrust, HashedEntriesMatchAndAreWrittenHashed) {
    if (!sshd_ok(sshd())) return;
    const std::string file = dir_.file("known_hosts");
    // Added hashed by the library, then read back by ssh-keygen itself.
    ASSERT_EQ(connect(with_known_hosts(sshd(), file,
                                       ",\"known_hosts_add\":true,\"known_hosts_hash\":true")),
              0)
        << error();
    const std::string added = read_file(file);
    EXPECT_EQ(added.rfind("|1|", 0), 0u) << added;
    EXPECT_EQ(added.find("127.0.0.1"), std::string::npos) << added;
    const cmd_result found =
        run_cmd({"ssh-keygen", "-F", host_name(sshd().port), "-f", file}, 30000);
    EXPECT_TRUE(found.ok()) << found.describe();

    // An entry hashed by ssh-keygen -H matches.
    write_file(file, host_name(sshd().port) + " " + key_of(sshd().host_key_pub) + "\n");
    ASSERT_TRUE(run_cmd({"ssh-keygen", "-H", "-f", file}, 30000).ok());
    ASSERT_EQ(read_file(file).rfind("|1|", 0), 0u);
    EXPECT_EQ(connect(with_known_hosts(sshd(), file)), 0) << error();
}

// A server with an ecdsa and an ed25519 host key shows the one known_hosts lists, and either
// key can be pinned (libssh2 asks for ecdsa first).
TEST_F(SshTrust, HostKeyAlgorithmFollowsKnownHostsOrThePin) {
    if (!sshd_ok(sshd())) return;
    sshd_variant two_keys(sshd(), "HostKey " + sshd().host_key_ecdsa);
    ASSERT_NE(two_keys.port(), 0);
    const std::string file = dir_.file("known_hosts");
    for (const std::string& pub : {sshd().host_key_pub, sshd().host_key_ecdsa + ".pub"}) {
        write_file(file, host_name(two_keys.port()) + " " + key_of(pub) + "\n");
        EXPECT_EQ(connect_port(sshd(), two_keys.port(), with_known_hosts(sshd(), file)), 0)
            << pub << ": " << error();
        const cmd_result fp = run_cmd({"ssh-keygen", "-lf", pub}, 30000); // "256 SHA256:... c"
        ASSERT_TRUE(fp.ok()) << fp.describe();
        const std::string pin = fp.output.substr(fp.output.find("SHA256:"), 50);
        const std::string auth = "{\"password\":" + json_quote(sshd().password) +
                                 ",\"host_key_sha256\":" + json_quote(pin) + "}";
        EXPECT_EQ(connect_port(sshd(), two_keys.port(), auth), 0) << pub << ": " << error();
    }
    const std::string wrong = "{\"password\":" + json_quote(sshd().password) +
                              ",\"host_key_sha256\":\"SHA256:" + std::string(43, 'A') + "\"}";
    EXPECT_EQ(connect_port(sshd(), two_keys.port(), wrong), NORVALED_E_SSH);
    EXPECT_EQ(error(), "SSH host key mismatch for 127.0.0.1");
}

// Every key type ssh-keygen makes, as the user's key (plain and with a passphrase) and as the
// server's host key: rsa user keys must be signed with rsa-sha2 (OpenSSH refuses ssh-rsa),
// and a host key of each type must be verified against known_hosts.
TEST_F(SshTrust, EveryKeyTypeAsUserKeyAndAsHostKey) {
    if (!sshd_ok(sshd())) return;
    // The rsa keys are made here rather than by the fixture: at ssh-keygen's default size each
    // takes about a second.
    const std::string rsa = dir_.file("id_rsa"), rsa_protected = dir_.file("id_rsa_protected"),
                      host_rsa = dir_.file("host_rsa");
    for (const auto& [file, passphrase] :
         {std::pair{rsa, std::string()}, std::pair{rsa_protected, sshd().passphrase},
          std::pair{host_rsa, std::string()}}) {
        const cmd_result made = run_cmd(
            {"ssh-keygen", "-q", "-t", "rsa", "-N", passphrase, "-C", "norvaled-test", "-f", file},
            30000);
        ASSERT_TRUE(made.ok()) << made.describe();
    }
    // The server reads authorized_keys as the test user.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const std::vector<std::pair<std::string, std::string>> user_keys = {
        {sshd().key, ""},
        {sshd().key_protected, sshd().passphrase},
        {sshd().key_ecdsa, ""},
        {sshd().key_ecdsa_protected, sshd().passphrase},
        {rsa, ""},
        {rsa_protected, sshd().passphrase}};
    std::string authorized;
    for (const auto& key : user_keys)
        authorized += read_file(key.first + ".pub");
    write_file(dir_.file("authorized_keys"), authorized);
    sshd_variant server(sshd(), "AuthorizedKeysFile " + dir_.file("authorized_keys") +
                                    "\nHostKey " + sshd().host_key_ecdsa + "\nHostKey " + host_rsa);
    ASSERT_NE(server.port(), 0);

    // The server holds all three host keys; known_hosts lists one, which must be the one shown.
    const std::string known_hosts = dir_.file("known_hosts");
    for (const std::string& pub :
         {sshd().host_key_pub, sshd().host_key_ecdsa + ".pub", host_rsa + ".pub"}) {
        write_file(known_hosts, host_name(server.port()) + " " + key_of(pub) + "\n");
        EXPECT_EQ(connect_port(sshd(), server.port(), with_known_hosts(sshd(), known_hosts)), 0)
            << pub << ": " << error();
    }
    for (const auto& [key, passphrase] : user_keys) {
        std::string auth = "{\"key_path\":" + json_quote(key);
        if (!passphrase.empty()) auth += ",\"passphrase\":" + json_quote(passphrase);
        EXPECT_EQ(connect_port(sshd(), server.port(), auth + "}"), 0) << key << ": " << error();
    }
}

TEST_F(SshTrust, AgentKeysComeFirstAndFailuresNameTheMethods) {
    if (!sshd_ok(sshd())) return;
    // No agent running: the old message, then what the server offered and what was tried.
    EXPECT_EQ(connect("{\"agent\":true}"), NORVALED_E_SSH);
    EXPECT_EQ(error(), "SSH authentication failed for user " + sshd().user +
                           " (server offers publickey,password; tried agent)");
    test_agent agent;
    ASSERT_TRUE(agent.ok());
    ASSERT_TRUE(agent.add(sshd().key_ecdsa));
    setenv("SSH_AUTH_SOCK", agent.socket().c_str(), 1);
    // The agent's key logs in before a wrong password is ever sent.
    EXPECT_EQ(connect("{\"agent\":true,\"password\":\"wrong\"}"), 0) << error();
    EXPECT_EQ(connect("{\"agent\":false,\"password\":\"wrong-secret\"}"), NORVALED_E_SSH);
    EXPECT_EQ(error().find("wrong-secret"), std::string::npos);
    EXPECT_NE(error().find("tried password"), std::string::npos) << error();
    unsetenv("SSH_AUTH_SOCK");
}

TEST_F(SshTrust, UnreadableSwitchIsAnArgumentError) {
    if (!sshd_ok(sshd())) return;
    for (const char* auth :
         {"{\"agent\":\"yes\"}", "{\"known_hosts_add\":1}", "{\"known_hosts_hash\":tru}"}) {
        EXPECT_EQ(norvaled_connect("127.0.0.1", sshd().port, sshd().user.c_str(), auth),
                  NORVALED_E_ARG)
            << auth;
        EXPECT_NE(error().find("must be true or false"), std::string::npos) << error();
    }
}

TEST_F(SshTrust, KeyboardInteractiveOnlyServerTakesThePassword) {
    if (!sshd_ok(sshd())) return;
    sshd_variant kbd(sshd(), "PasswordAuthentication no\nPubkeyAuthentication no\n"
                             "KbdInteractiveAuthentication yes\nUsePAM yes");
    ASSERT_NE(kbd.port(), 0);
    EXPECT_EQ(connect_port(sshd(), kbd.port(), auth_password(sshd())), 0) << error();
    EXPECT_EQ(connect_port(sshd(), kbd.port(), "{\"password\":\"not-the-password\"}"),
              NORVALED_E_SSH);
    EXPECT_EQ(error(), "SSH authentication failed for user " + sshd().user +
                           " (server offers keyboard-interactive; tried keyboard-interactive)");
}

} // namespace
