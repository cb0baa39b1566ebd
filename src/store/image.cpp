// The backing image and its 2 MiB chunk transfers.
#include "store/image.h"

#include <algorithm>
#include <cstring>

#include "norvaled.h"
#include "platform/sys.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/sftp.h"

namespace {

// libssh2 keeps up to four times the size of each read call in flight (at most 8 MiB) in
// requests of at most 30000 bytes, and a seek drops whatever is still in flight: the server
// sends it anyway and the client decrypts it only to throw it away. Calls below this size
// are not worth splitting further.
constexpr uint32_t k_min_read_call = 512;

// Set once the server answered fsync@openssh.com with "operation unsupported".
bool g_fsync_unsupported = false;
// Where the last remote read ended; none after an open or a write. Under the link lock.
constexpr uint64_t k_no_read = ~uint64_t{0};
uint64_t g_last_read_end = k_no_read;

bool mock_open() {
    return g_mock_mode && g_mock_fp != nullptr;
}

int open_mock_image(uint64_t size) {
    if (g_mock_fp != nullptr) std::fclose(g_mock_fp);
    g_mock_fp = std::fopen(g_remote_path, "r+b");
    if (g_mock_fp == nullptr) g_mock_fp = std::fopen(g_remote_path, "w+b");
    if (g_mock_fp == nullptr)
        return fail(NORVALED_E_SSH, "cannot open/create mock file: %s", g_remote_path);
    const int64_t have = file_size(g_mock_fp);
    if (have >= 0 && static_cast<uint64_t>(have) < size && file_seek64(g_mock_fp, size - 1) == 0) {
        std::fputc(0, g_mock_fp);
        std::fflush(g_mock_fp);
    }
    return 0;
}

int open_remote_image(uint64_t size) {
    g_fsync_unsupported = false;
    g_last_read_end = k_no_read;
    g_sftp_handle = libssh2_sftp_open_ex(
        g_sftp_session, g_remote_path, static_cast<unsigned>(std::strlen(g_remote_path)),
        LIBSSH2_FXF_READ | LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT, 0600, LIBSSH2_SFTP_OPENFILE);
    if (g_sftp_handle == nullptr)
        return fail(NORVALED_E_SSH, "cannot open/create remote SFTP file: %s", g_remote_path);
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (libssh2_sftp_fstat_ex(g_sftp_handle, &attrs, 0) == 0 &&
        (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) && attrs.filesize < size) {
        const char zero = 0;
        libssh2_sftp_seek64(g_sftp_handle, size - 1);
        libssh2_sftp_write(g_sftp_handle, &zero, 1);
    }
    return 0;
}

// Seeks only when the handle is elsewhere, so that chunks read in order keep libssh2's
// read-ahead. True when it had to seek.
bool seek_if_needed(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset) {
    if (libssh2_sftp_tell64(handle) == offset) return false;
    libssh2_sftp_seek64(handle, offset);
    return true;
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
int read_mock_range(uint64_t offset, uint8_t* buf, uint32_t len) {
    std::clearerr(g_mock_fp);
    if (file_seek64(g_mock_fp, offset) != 0) {
        std::memset(buf, 0, len);
        return -1; // never zeros served as if they were the image's
    }
    const std::size_t got = std::fread(buf, 1, len, g_mock_fp);
    std::memset(buf + got, 0, len - got);
    // A short read is the end of the image only when the stream saw no error.
    return std::ferror(g_mock_fp) ? -1 : 0;
}

int read_remote_range(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, uint8_t* buf, uint32_t len) {
    const bool continues = offset == g_last_read_end;
    seek_if_needed(handle, offset);
    g_last_read_end = k_no_read;
    const bool read_on = continues && (offset + len) % k_chunk_size == 0;
    uint32_t got = 0;
    while (got < len) {
        const uint32_t want = read_call_size(len - got, read_on);
        const ssize_t n = libssh2_sftp_read(handle, reinterpret_cast<char*>(buf + got), want);
        if (n == 0) break; // end of the image: the rest of the disk reads as zeros
        if (n < 0) {
            std::memset(buf, 0, len);
            return -1;
        }
        got += static_cast<uint32_t>(n);
    }
    std::memset(buf + got, 0, len - got);
    g_last_read_end = offset + len;
    return 0;
}

int write_mock_range(uint64_t offset, const uint8_t* buf, uint32_t len) {
    if (file_seek64(g_mock_fp, offset) != 0) return -1;
    if (std::fwrite(buf, 1, len, g_mock_fp) != len) return -1;
    return std::fflush(g_mock_fp) == 0 ? 0 : -1;
}

int write_remote_range(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, const uint8_t* buf,
                       uint32_t len) {
    g_last_read_end = k_no_read;
    // Always seek: the seek is what drops read requests still in flight from an earlier chunk
    // read. libssh2 keeps reads and writes of a handle in one request list, so a write that
    // started where a read left off would take those read requests for its own and the
    // session would fail.
    libssh2_sftp_seek64(handle, offset);
    uint32_t put = 0;
    while (put < len) {
        const ssize_t n =
            libssh2_sftp_write(handle, reinterpret_cast<const char*>(buf + put), len - put);
        if (n <= 0) return -1; // 0 would be no progress at all: never loop on it
        put += static_cast<uint32_t>(n);
    }
    return 0;
}

} // namespace

int image_open(uint64_t size) {
    return g_mock_mode ? open_mock_image(size) : open_remote_image(size);
}

void image_close() {
    if (g_sftp_handle != nullptr) {
        libssh2_sftp_close_handle(g_sftp_handle);
        g_sftp_handle = nullptr;
    }
    if (g_mock_fp != nullptr) {
        std::fclose(g_mock_fp);
        g_mock_fp = nullptr;
    }
}

int sftp_read_chunk(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, uint8_t* buf) {
    return sftp_read_range(handle, offset, buf, k_chunk_size);
}

int sftp_read_range(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, uint8_t* buf, uint32_t len) {
    link_guard link;
    if (mock_open()) return read_mock_range(offset, buf, len);
    if (handle != nullptr) return read_remote_range(handle, offset, buf, len);
    std::memset(buf, 0, len);
    return 0;
}

int sftp_write_exact(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, const uint8_t* buf) {
    return sftp_write_range(handle, offset, buf, k_chunk_size);
}

int sftp_write_range(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, const uint8_t* buf,
                     uint32_t len) {
    link_guard link;
    if (mock_open()) return write_mock_range(offset, buf, len);
    if (handle != nullptr) return write_remote_range(handle, offset, buf, len);
    return 0;
}

int image_sync() {
    link_guard link;
    if (mock_open()) return file_sync(g_mock_fp);
    if (g_sftp_handle == nullptr || g_fsync_unsupported) return 0;
    const int rc = libssh2_sftp_fsync(g_sftp_handle);
    if (rc == 0) return 0;
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL &&
        libssh2_sftp_last_error(g_sftp_session) == LIBSSH2_FX_OP_UNSUPPORTED) {
        g_fsync_unsupported = true;
        return 0;
    }
    return -1;
}
