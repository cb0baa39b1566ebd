// The Linux stand-in for the Windows iSCSI initiator: a daemon ("msiscsi", from the stand-in
// tools directory on PATH) that answers one request per connection on a Unix socket in its
// state directory. The POSIX initiator and storage seams and the stand-in tools all talk to it
// through this client.
//
// Every message, both ways, is one text line "<payload bytes> <text>\n" followed by that many
// payload bytes. Replies are "ok [values]" or "err <status> <message>" (status in hex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/search_path.h"

constexpr const char* k_standin_daemon = "msiscsi";
constexpr std::size_t k_standin_line_max = 1024;        // one message's text line
constexpr std::size_t k_standin_payload_max = 8u << 20; // bound on what a peer makes us hold
constexpr uint32_t k_standin_reply_ms = 120000;         // a login may wait for its iSCSI time-out

// NORVALED_STANDIN_DIR, or "norvaled-standin-<uid>" in the temporary directory.
std::string standin_dir();
std::string standin_socket_path();

// The daemon program on PATH, else empty.
std::string standin_daemon_path();

struct standin_reply {
    bool ok = false;
    uint32_t status = 0; // of an "err" reply
    std::string text;    // what follows "ok " or the status of "err"
    std::string payload;
};

// One request: 0 and the daemon's reply, or -1 when the daemon cannot be reached or its
// answer is malformed.
int standin_call(const std::string& text, standin_reply& reply, const void* payload = nullptr,
                 std::size_t payload_len = 0);

// One message on a connected socket, both ways: 0 or -1.
int standin_send_message(int fd, const std::string& text, const void* payload, std::size_t len);
int standin_recv_message(int fd, std::string& text, std::string& payload);
