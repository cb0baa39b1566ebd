// The process-wide library state: one connection, one image, one target, one mount.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include <libssh2.h>
#include <libssh2_sftp.h>

#include "platform/net.h"
#include "platform/thread.h"

constexpr std::size_t k_err_size = 512;
constexpr std::size_t k_path_size = 512;

extern int32_t g_last_mount_formatted;
extern std::atomic<int32_t> g_port; // read by the host thread that formats the statistics
extern sock_t g_ssh_sock;
extern int32_t g_session_valid;
extern unsigned char g_session_id[16];
extern char g_mounted_letter;
extern int32_t g_unmount_stage;
extern int32_t g_svc_state_mode;
extern std::atomic<int32_t> g_running;
extern char g_remote_path[k_path_size];
extern std::FILE* g_mock_fp;
extern int32_t g_mock_mode;
extern int32_t g_connected;
extern LIBSSH2_SFTP_HANDLE* g_sftp_handle;
extern LIBSSH2_SFTP* g_sftp_session;
extern LIBSSH2_SESSION* g_ssh_session;
extern char g_err[k_err_size];

// The state lock: recursive, created once on first use (thread-safe), never destroyed.
std::recursive_mutex& state_lock();
using state_guard = std::lock_guard<std::recursive_mutex>;

// The last-error text. Exports empty and write it only under the state lock: another export
// may be writing its own message at the same moment.
void err_clear();
void err_set(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Sets the text and returns code, so failures read as `return fail(-7, "...")`.
int32_t fail(int32_t code, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
