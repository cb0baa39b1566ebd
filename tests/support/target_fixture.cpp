#include "support/target_fixture.h"

#include <gtest/gtest.h>

#include "norvaled.h"
#include "platform/sys.h"
#include "support/library_helpers.h"
#include "support/sshd_fixture.h"
#include "support/temp_dir.h"

namespace {

target_info g_target;
std::string g_remote_path; // what norvaled_start is given: the same file in both modes
bool g_started = false;

const target_info* fail_start(const char* step) {
    ADD_FAILURE() << step << " failed: " << norvaled_last_error();
    return nullptr;
}

// Serves image_path (remote path in SFTP mode) on a free port.
const target_info* serve(const std::string& remote_path) {
    int port = 0;
    const int32_t rc = start_on_free_port(remote_path, static_cast<int64_t>(g_target.size), &port);
    if (rc == NORVALED_E_NET) return fail_start("norvaled_start on a free port");
    if (rc != 0) return fail_start("norvaled_start");
    g_target.port = static_cast<uint16_t>(port);
    g_target.portal = "127.0.0.1:" + std::to_string(port);
    g_target.url = "iscsi://" + g_target.portal + "/" NORVALED_TARGET_IQN "/0";
    g_started = true;
    return &g_target;
}

} // namespace

const std::string& scratch_dir() {
    static const scoped_dir dir;
    return dir.path();
}

const target_info* target_start_mock(uint64_t size) {
    g_target = target_info{};
    g_target.size = size;
    g_target.image_path = scratch_dir() + "/disk.img";
    g_remote_path = g_target.image_path;
    if (norvaled_connect("mock", 0, "tester", nullptr) != 0) return fail_start("norvaled_connect");
    return serve(g_remote_path);
}

const target_info* target_start_sftp(uint64_t size) {
    const sshd_info& sshd = sshd_start();
    g_target = target_info{};
    g_target.size = size;
    // The sshd runs on this machine, so the remote file is also a local one.
    g_target.image_path = sshd.home + "/interop.img";
    g_remote_path = g_target.image_path;
    if (!sshd_ok(sshd)) return nullptr; // the fixture has recorded why
    if (norvaled_connect("127.0.0.1", sshd.port, sshd.user.c_str(), auth_password(sshd).c_str()) !=
        0)
        return fail_start("norvaled_connect to the test sshd");
    return serve(g_remote_path);
}

const target_info* target_start(target_backend backend, uint64_t size) {
    return backend == target_backend::mock ? target_start_mock(size) : target_start_sftp(size);
}

const char* backend_name(target_backend backend) {
    return backend == target_backend::mock ? "Mock" : "Sftp";
}

const target_info* target_restart() {
    if (g_started && norvaled_stop() != 0) return fail_start("norvaled_stop");
    g_started = false;
    return serve(g_remote_path);
}

int32_t target_flush() {
    return norvaled_flush();
}

void target_stop() {
    if (g_started) {
        EXPECT_EQ(norvaled_stop(), 0) << norvaled_last_error();
    }
    g_started = false;
    norvaled_disconnect();
}
