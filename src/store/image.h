// The backing image: a local file in mock mode, or a file on the SFTP server.
#pragma once

#include <cstdint>

#include <libssh2.h>
#include <libssh2_sftp.h>

// Opens (creating, lengthening, never truncating) the image named by g_remote_path for a disk
// of size bytes. 0, or -10 with the last-error text set.
int image_open(uint64_t size);
// Closes whichever image handle is open.
void image_close();

// Image transfers. Each takes the link lock itself, so the caller must not hold it, nor the
// cache lock, which would stall every command behind the network. The medium is chosen per
// call: the mock file, the SFTP handle, or neither.
// Reading: bytes beyond the end of the image are zeros. -1 when the image could not be read,
// so that no layer serves or writes back bytes that were never really loaded.
int sftp_read_range(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, uint8_t* buf, uint32_t len);
// One whole 2 MiB chunk at a chunk-aligned offset.
int sftp_read_chunk(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, uint8_t* buf);
// 0, or -1 when the range was not written whole.
int sftp_write_range(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, const uint8_t* buf,
                     uint32_t len);
int sftp_write_exact(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, const uint8_t* buf);
// Has the image's data reach the disk under it: fsync of a mock file; on the server the
// fsync@openssh.com extension, when it offers it (a server without it is trusted as is, as
// qemu's ssh driver does). 0, or -1 when the sync failed.
int image_sync();
