// Starts the library's own iSCSI target in this process, on a free loopback port, backed by a
// local mock image or by an image on the test sshd, for real initiators to talk to.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

constexpr uint64_t k_target_image_size = 64ull << 20; // the smallest disk the target serves

struct target_info {
    uint16_t port = 0;
    std::string portal;     // "127.0.0.1:<port>"
    std::string url;        // "iscsi://127.0.0.1:<port>/<target IQN>/0"
    std::string image_path; // the image as a local file: the mock file or the sshd's copy
    uint64_t size = 0;      // the served disk in bytes
};

// Each returns the running target, or nullptr after recording a test failure that carries
// the library's last-error text. One target per process at a time.
const target_info* target_start_mock(uint64_t size = k_target_image_size);
// Connects to the test sshd (started on first use) with its password.
const target_info* target_start_sftp(uint64_t size = k_target_image_size);

enum class target_backend { mock, sftp };
const target_info* target_start(target_backend backend, uint64_t size = k_target_image_size);
// "Mock" or "Sftp", for test names.
const char* backend_name(target_backend backend);
// How GoogleTest shows a parameter (else ctest names would carry its bytes).
inline void PrintTo(target_backend backend, std::ostream* os) {
    *os << backend_name(backend);
}

// Stops the target and serves the same image again on a fresh free port: a clean connection
// state for the next initiator. nullptr on failure, as above.
const target_info* target_restart();

// Writes every dirty cache chunk to the image now: the library's status code.
int32_t target_flush();

// Stops the target and ends the connection; the image file stays for inspection.
void target_stop();

// A scratch directory of this process, removed when the process ends.
const std::string& scratch_dir();

// A test run once per backend with a fresh target of that backend in target_.
class target_test : public ::testing::TestWithParam<target_backend> {
  protected:
    void SetUp() override {
        target_ = target_start(GetParam());
        if (IsSkipped()) return; // no sshd on this machine: the fixture said so
        ASSERT_NE(target_, nullptr);
    }
    void TearDown() override { target_stop(); }

    const target_info* target_ = nullptr;
};
