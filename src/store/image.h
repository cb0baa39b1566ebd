// The backing image: a local file in mock mode, or a file on the SFTP server.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <libssh2.h>
#include <libssh2_sftp.h>

constexpr uint64_t k_no_read = ~uint64_t{0};

// One open image: a local file, or a handle on an SFTP session. The cache is handed it and
// passes it to every transfer; the link's owner may replace the handle (a new session).
struct image {
    std::string path;
    uint64_t size = 0;
    std::FILE* mock_fp = nullptr;
    LIBSSH2_SFTP* sftp = nullptr; // the session the handle belongs to
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    bool fsync_unsupported = false;     // the server answered fsync@openssh.com "unsupported"
    uint64_t last_read_end = k_no_read; // where the last remote read ended; under the link lock
    // The last transfer was a stream read: libssh2 may still have read-ahead coming in. Any
    // later answer comes after it on the channel, so the next other transfer clears this.
    bool read_ahead = false;
};

// The image the target serves, from the start to the stop.
extern image g_image;

// Opens (creating, lengthening, never truncating) path for a disk of size bytes, as a local
// file or on the SFTP session. 0, or -10 with the last-error text set.
int image_open_mock(image& img, const char* path, uint64_t size);
int image_open_remote(image& img, LIBSSH2_SFTP* sftp, const char* path, uint64_t size);
// Opens img's file again on a new session, never creating it, and checks it still holds the
// whole disk. 0 with handle set, or -10.
int image_reopen_remote(const image& img, LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE*& handle);
// Closes whichever handle is open.
void image_close(image& img);

// Image transfers. Each takes the link lock itself, so the caller must not hold it, nor the
// cache lock, which would stall every command behind the network. The medium is the image's:
// the mock file, the SFTP handle, or neither.
// When the link is down or breaks under a transfer, a transfer made for a command waits for
// it within the hold and is tried again on the new link; one made in the background fails at
// once (the data stays dirty for later).
enum class link_wait : uint8_t { within_hold, never };
// Reading: bytes beyond the end of the image are zeros. -1 when the image could not be read,
// so that no layer serves or writes back bytes that were never really loaded.
int sftp_read_range(image& img, uint64_t offset, uint8_t* buf, uint32_t len);
// One whole 2 MiB chunk at a chunk-aligned offset.
int sftp_read_chunk(image& img, uint64_t offset, uint8_t* buf);
// 0, or -1 when the range was not written whole.
int sftp_write_range(image& img, uint64_t offset, const uint8_t* buf, uint32_t len,
                     link_wait wait = link_wait::within_hold);
int sftp_write_exact(image& img, uint64_t offset, const uint8_t* buf);
// Has the image's data reach the disk under it: fsync of a mock file; on the server the
// fsync@openssh.com extension, when it offers it (a server without it is trusted as is, as
// qemu's ssh driver does). 0, or -1 when the sync failed.
int image_sync(image& img);
