// The SSH/SFTP link (or the mock one) that the image is opened on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <libssh2.h>
#include <libssh2_sftp.h>

#include "platform/net.h"

struct image;

// Connects to host (port <= 0 means 22) and starts SFTP, or, for host "mock", records that a
// local file will hold the image. Sets g_connected; 0 or a code with the message set.
int32_t link_connect(const char* host, int32_t port, const char* user, const char* auth_json);

// Opens the image at path for a disk of size bytes on the link: a local file in mock mode,
// else a file on the SFTP session. 0, or -10 with the last-error text set.
int link_open_image(image& img, const char* path, uint64_t size);

// Whether a broken link can be brought back: SFTP, "reconnect" not switched off, an image open.
bool link_can_reconnect();
// The link broke (the caller holds the link lock): the dead connection is let go at once and
// the image's handle with it; the hold starts.
void link_drop_locked(image& img);
// One attempt to bring the link back with the connect's arguments and its host key, the image
// reopened; the link is adopted but not yet marked up (the caller does that). 0 or a code;
// host_key_changed says whether the server showed another key. Never writes the last error.
int32_t link_reconnect(bool& host_key_changed);
// Asks an idle link for the image's attributes; no answer in time drops the link.
void link_probe();

// What the link holds now.
struct link_view {
    bool mock;
    sock_t sock;
    LIBSSH2_SESSION* session;
    LIBSSH2_SFTP* sftp;
};
link_view link_state();

// Ends the link: mock mode simply ends; else as ssh_release_all. Used by the disconnect.
void link_release();
// Releases the SFTP subsystem, the SSH session and its socket, and libssh2 itself; every
// step only when its object exists.
void ssh_release_all();

// Base64 without the trailing '=' padding, as OpenSSH prints SHA-256 fingerprints.
std::string base64_unpadded(const unsigned char* data, std::size_t len);

// The link lock: serialises every libssh2 call (one session, one handle, its read-ahead
// position) and every use of the mock image's stream. Waiters are served in arrival order:
// a thread that gives the link up and asks again goes behind those already waiting, which a
// plain mutex does not promise. Never taken while the cache lock is held.
void link_lock();
void link_unlock();
struct link_guard {
    link_guard() { link_lock(); }
    ~link_guard() { link_unlock(); }
    link_guard(const link_guard&) = delete;
    link_guard& operator=(const link_guard&) = delete;
};
