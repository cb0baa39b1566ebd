// The backing image and its 2 MiB chunk transfers.
#include "store/image.h"

#include <algorithm>
#include <cstring>

#include "norvaled.h"
#include "platform/sys.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/link_health.h"
#include "store/sftp.h"

image g_image;

namespace {

// libssh2 keeps up to four times the size of each read call in flight (at most 8 MiB) in
// requests of at most 30000 bytes, and a seek drops whatever is still in flight: the server
// sends it anyway and the client decrypts it only to throw it away. Calls below this size
// are not worth splitting further.
constexpr uint32_t k_min_read_call = 512;

// What a remote call's failure means: the server refused it (the file's own fault: no space,
// no permission), or the session is gone (socket error, time-out, channel closed).
constexpr int k_file_failed = -1;
constexpr int k_link_lost = -2;

int remote_failure(long rc) {
    return rc == LIBSSH2_ERROR_SFTP_PROTOCOL ? k_file_failed : k_link_lost;
}

// Seeks only when the handle is elsewhere, so that chunks read in order keep libssh2's
// read-ahead.
void seek_if_needed(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset) {
    if (libssh2_sftp_tell64(handle) != offset) libssh2_sftp_seek64(handle, offset);
}

// How much one read call asks for, with left bytes of the range still to come; libssh2 keeps
// four times that in flight. A range that continues the last read and reaches the end of its
// chunk is likely a stream: it asks for all it needs, so that the read-ahead runs on into the
// next chunk. (Not the first read after the open, which merely finds the handle at its
// offset: on a 20 Mbit/s link its read-ahead cost the next reads 2.4 s.) Any other range (random
// access, a few granules) asks for a quarter of what is left, so that the requests in flight end
// exactly at the range's end instead of fetching up to 8 MiB beyond it for nothing.
uint32_t read_call_size(uint32_t left, bool read_on) {
    if (read_on) return left;
    return std::max(left / 4, std::min(left, k_min_read_call));
}

// The read helpers fill exactly [buf, buf + len) and nothing else: granules are read straight
// into a slot beside bytes that the cache already holds.
int read_mock_range(std::FILE* fp, uint64_t offset, uint8_t* buf, uint32_t len) {
    std::clearerr(fp);
    if (file_seek64(fp, offset) != 0) {
        std::memset(buf, 0, len);
        return -1; // never zeros served as if they were the image's
    }
    const std::size_t got = std::fread(buf, 1, len, fp);
    std::memset(buf + got, 0, len - got);
    // A short read is the end of the image only when the stream saw no error.
    return std::ferror(fp) ? -1 : 0;
}

int read_remote_range(image& img, uint64_t offset, uint8_t* buf, uint32_t len) {
    const bool continues = offset == img.last_read_end;
    seek_if_needed(img.handle, offset);
    img.last_read_end = k_no_read;
    const bool read_on = continues && (offset + len) % k_chunk_size == 0;
    uint32_t got = 0;
    while (got < len) {
        const uint32_t want = read_call_size(len - got, read_on);
        const ssize_t n = libssh2_sftp_read(img.handle, reinterpret_cast<char*>(buf + got), want);
        if (n == 0) break; // end of the image: the rest of the disk reads as zeros
        if (n < 0) {
            std::memset(buf, 0, len);
            return remote_failure(n);
        }
        got += static_cast<uint32_t>(n);
    }
    std::memset(buf + got, 0, len - got);
    img.last_read_end = offset + len;
    img.read_ahead = read_on;
    return 0;
}

int write_mock_range(std::FILE* fp, uint64_t offset, const uint8_t* buf, uint32_t len) {
    if (file_seek64(fp, offset) != 0) return -1;
    if (std::fwrite(buf, 1, len, fp) != len) return -1;
    return std::fflush(fp) == 0 ? 0 : -1;
}

int write_remote_range(image& img, uint64_t offset, const uint8_t* buf, uint32_t len) {
    LIBSSH2_SFTP_HANDLE* handle = img.handle;
    img.last_read_end = k_no_read;
    // Always seek: the seek is what drops read requests still in flight from an earlier chunk
    // read. libssh2 keeps reads and writes of a handle in one request list, so a write that
    // started where a read left off would take those read requests for its own and the
    // session would fail.
    libssh2_sftp_seek64(handle, offset);
    uint32_t put = 0;
    while (put < len) {
        const ssize_t n =
            libssh2_sftp_write(handle, reinterpret_cast<const char*>(buf + put), len - put);
        if (n < 0) return remote_failure(n);
        if (n == 0) return k_file_failed; // no progress at all: never loop on it
        put += static_cast<uint32_t>(n);
    }
    img.read_ahead = false;
    return 0;
}

int sync_remote(image& img) {
    if (img.fsync_unsupported) return 0;
    const int rc = libssh2_sftp_fsync(img.handle);
    if (rc == 0) {
        img.read_ahead = false;
        return 0;
    }
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL &&
        libssh2_sftp_last_error(img.sftp) == LIBSSH2_FX_OP_UNSUPPORTED) {
        img.fsync_unsupported = true;
        return 0;
    }
    return remote_failure(rc);
}

// Runs op on the remote image under the link lock. A lost session drops the link; then, for a
// command, the transfer waits for the link within the hold of the first break it met (never
// longer, however often the link comes and goes) and is made again on the new session.
template <typename Op>
int on_link(image& img, link_wait wait, Op op) {
    uint64_t deadline = 0;
    for (;;) {
        {
            link_guard link;
            if (link_is_up()) {
                if (img.handle == nullptr) return op(false);
                const int rc = op(true);
                if (rc == 0) link_note_io();
                if (rc != k_link_lost) return rc == 0 ? 0 : -1;
                link_drop_locked(img);
            }
        }
        if (wait == link_wait::never) return -1;
        if (deadline == 0) deadline = link_hold_end();
        if (!link_wait_up(deadline)) return -1;
    }
}

} // namespace

int image_open_mock(image& img, const char* path, uint64_t size) {
    img.path = path;
    img.size = size;
    if (img.mock_fp != nullptr) std::fclose(img.mock_fp);
    img.mock_fp = std::fopen(path, "r+b");
    if (img.mock_fp == nullptr) img.mock_fp = std::fopen(path, "w+b");
    if (img.mock_fp == nullptr)
        return fail(NORVALED_E_SSH, "cannot open/create mock file: %s", path);
    const int64_t have = file_size(img.mock_fp);
    if (have >= 0 && static_cast<uint64_t>(have) < size &&
        file_seek64(img.mock_fp, size - 1) == 0) {
        std::fputc(0, img.mock_fp);
        std::fflush(img.mock_fp);
    }
    return 0;
}

int image_open_remote(image& img, LIBSSH2_SFTP* sftp, const char* path, uint64_t size) {
    img.path = path;
    img.size = size;
    img.sftp = sftp;
    img.fsync_unsupported = false;
    img.last_read_end = k_no_read;
    img.read_ahead = false;
    img.handle = libssh2_sftp_open_ex(sftp, path, static_cast<unsigned>(std::strlen(path)),
                                      LIBSSH2_FXF_READ | LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT,
                                      0600, LIBSSH2_SFTP_OPENFILE);
    if (img.handle == nullptr)
        return fail(NORVALED_E_SSH, "cannot open/create remote SFTP file: %s", path);
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (libssh2_sftp_fstat_ex(img.handle, &attrs, 0) == 0 &&
        (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) && attrs.filesize < size) {
        const char zero = 0;
        libssh2_sftp_seek64(img.handle, size - 1);
        libssh2_sftp_write(img.handle, &zero, 1);
    }
    return 0;
}

int image_reopen_remote(const image& img, LIBSSH2_SFTP* sftp, LIBSSH2_SFTP_HANDLE*& handle) {
    // Never created: a file that vanished is not the disk, and an empty one must not pass as it.
    handle = libssh2_sftp_open_ex(sftp, img.path.c_str(), static_cast<unsigned>(img.path.size()),
                                  LIBSSH2_FXF_READ | LIBSSH2_FXF_WRITE, 0, LIBSSH2_SFTP_OPENFILE);
    if (handle == nullptr)
        return fail(NORVALED_E_SSH, "cannot reopen remote SFTP file: %s", img.path.c_str());
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (libssh2_sftp_fstat_ex(handle, &attrs, 0) != 0 || !(attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ||
        attrs.filesize < img.size) {
        libssh2_sftp_close_handle(handle);
        handle = nullptr;
        return fail(NORVALED_E_SSH, "remote SFTP file %s no longer holds the whole disk",
                    img.path.c_str());
    }
    return 0;
}

void image_close(image& img) {
    img.path.clear(); // nothing for a reconnection to reopen
    if (img.handle != nullptr) {
        libssh2_sftp_close_handle(img.handle);
        img.handle = nullptr;
    }
    if (img.mock_fp != nullptr) {
        std::fclose(img.mock_fp);
        img.mock_fp = nullptr;
    }
}

int sftp_read_chunk(image& img, uint64_t offset, uint8_t* buf) {
    return sftp_read_range(img, offset, buf, k_chunk_size);
}

int sftp_read_range(image& img, uint64_t offset, uint8_t* buf, uint32_t len) {
    if (img.mock_fp != nullptr) {
        link_guard link;
        return read_mock_range(img.mock_fp, offset, buf, len);
    }
    return on_link(img, link_wait::within_hold, [&](bool open) {
        if (open) return read_remote_range(img, offset, buf, len);
        std::memset(buf, 0, len);
        return 0;
    });
}

int sftp_write_exact(image& img, uint64_t offset, const uint8_t* buf) {
    return sftp_write_range(img, offset, buf, k_chunk_size);
}

int sftp_write_range(image& img, uint64_t offset, const uint8_t* buf, uint32_t len,
                     link_wait wait) {
    if (img.mock_fp != nullptr) {
        link_guard link;
        return write_mock_range(img.mock_fp, offset, buf, len);
    }
    return on_link(img, wait,
                   [&](bool open) { return open ? write_remote_range(img, offset, buf, len) : 0; });
}

int image_sync(image& img) {
    if (img.mock_fp != nullptr) {
        link_guard link;
        return file_sync(img.mock_fp);
    }
    return on_link(img, link_wait::within_hold,
                   [&](bool open) { return open ? sync_remote(img) : 0; });
}
