// A private OpenSSH sshd on 127.0.0.1 for the tests: its own config, host key, user keys and
// authorized_keys, so that connects run against a real SSH/SFTP server and nothing of the
// machine's own sshd is touched.
#pragma once

#include <string>

#include <gtest/gtest.h>

struct sshd_info {
    int port = 0;                    // 127.0.0.1:port
    std::string user;                // test user
    std::string password;            // its password
    std::string key;                 // ed25519 private key without passphrase (key + ".pub" exists)
    std::string key_protected;       // second private key, with passphrase (".pub" beside it too)
    std::string passphrase;          // of key_protected (and of key_ecdsa_protected)
    std::string key_ecdsa;           // ecdsa-sha2-nistp256 private key without passphrase
    std::string key_ecdsa_protected; // the same type, with passphrase
    std::string host_key_sha256;     // "SHA256:..." as ssh-keygen -lf prints it
    std::string host_key_pub;        // the ed25519 host key's ".pub" file
    std::string host_key_ecdsa;      // an ecdsa host key only the variant servers show (".pub" too)
    std::string home;                // a directory the user can write: remote images go there
    std::string log;                 // the sshd's own log (stderr), for failure messages
};

// Starts (once per process) a private OpenSSH sshd on 127.0.0.1 at a free port with its own
// config, host key and authorized_keys; stops it (by PID) at process exit. On error it records
// a fatal test failure (a skip when no sshd is installed) and returns an info with port 0.
// Call it from the main thread: the sshd is also tied to that thread's life, so it goes away
// even when the test process dies without running its exit handlers.
const sshd_info& sshd_start();

// Ends the sshd together with every session it serves (SIGKILL, as a server that crashed) and
// starts it again on the same port with the same keys. With other_host_key it comes back with
// a host key of its own (the same type): another machine on the address, or a reinstalled one;
// a later plain restart brings the usual key back. False when it did not come back.
bool sshd_restart(bool other_host_key = false);

// A second sshd of the same user, keys and home, for the settings the shared one must not
// have: each line of `settings` ("KbdInteractiveAuthentication yes") overrides the shared
// configuration. Stopped (by PID) by the destructor.
class sshd_variant {
  public:
    sshd_variant(const sshd_info& base, const std::string& settings);
    ~sshd_variant();
    sshd_variant(const sshd_variant&) = delete;
    sshd_variant& operator=(const sshd_variant&) = delete;
    int port() const { return port_; } // 0 when it did not come up (a test failure is recorded)

  private:
    int port_ = 0;
    int pid_ = -1;
};

// True when the server runs: a test that got port 0 should return at once.
inline bool sshd_ok(const sshd_info& s) {
    return s.port != 0;
}

// Base for tests that need the sshd: SetUp starts it, and a failure or skip there keeps the
// test body from running.
class sshd_test : public ::testing::Test {
  protected:
    void SetUp() override { sshd_ = &sshd_start(); }
    const sshd_info& sshd() const { return *sshd_; }

  private:
    const sshd_info* sshd_ = nullptr;
};

// The text of a JSON string literal holding text (quotes and backslashes escaped).
std::string json_quote(const std::string& text);
// An auth text {"password":...} for the test user; members ("\"reconnect\":false") are added.
std::string auth_password(const sshd_info& s, const std::string& members = "");
