// The backing image and its 2 MiB chunk transfers.
#include "store/image.h"

#include <algorithm>
#include <cstring>

#include "norvaled.h"
#include "platform/sys.h"
#include "state/state.h"
#include "store/cache.h"

image g_image;

namespace {

// libssh2 keeps up to four times the size of each read call in flight (at most 8 MiB) in
// requests of at most this many bytes, and a seek drops whatever is still in flight: the
// server sends it anyway and the client decrypts it only to throw it away.
constexpr uint32_t k_sftp_read_request = 30000;

// Seeks only when the handle is elsewhere, so that chunks read in order keep libssh2's
// read-ahead. True when it had to seek.
bool seek_if_needed(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset) {
    if (libssh2_sftp_tell64(handle) == offset) return false;
    libssh2_sftp_seek64(handle, offset);
    return true;
}

// How much one read call asks for, with left bytes of the chunk still to come. A chunk that
// follows the last one read is likely followed by the next, so it asks for all it needs and
// the read-ahead runs on into the next chunk. A chunk reached by a seek is likely random
// access: its calls shrink toward the chunk's end so that the read-ahead stops there instead
// of fetching up to 8 MiB beyond it for nothing.
uint32_t read_call_size(uint32_t left, bool after_seek) {
    if (!after_seek) return left;
    return std::max(left / 4, std::min(left, k_sftp_read_request));
}

// The read helpers fill exactly [buf, buf + len) and nothing else: a chunk's tail is read
// behind bytes that the cache already holds.
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

int read_remote_range(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, uint8_t* buf, uint32_t len) {
    const bool after_seek = seek_if_needed(handle, offset);
    uint32_t got = 0;
    while (got < len) {
        const uint32_t want = read_call_size(len - got, after_seek);
        const ssize_t n = libssh2_sftp_read(handle, reinterpret_cast<char*>(buf + got), want);
        if (n == 0) break; // end of the image: the rest of the disk reads as zeros
        if (n < 0) {
            std::memset(buf, 0, len);
            return -1;
        }
        got += static_cast<uint32_t>(n);
    }
    std::memset(buf + got, 0, len - got);
    return 0;
}

int write_mock_chunk(std::FILE* fp, uint64_t offset, const uint8_t* buf) {
    if (file_seek64(fp, offset) != 0) return -1;
    if (std::fwrite(buf, 1, k_chunk_size, fp) != k_chunk_size) return -1;
    return std::fflush(fp) == 0 ? 0 : -1;
}

int write_remote_chunk(LIBSSH2_SFTP_HANDLE* handle, uint64_t offset, const uint8_t* buf) {
    // Always seek: the seek is what drops read requests still in flight from an earlier chunk
    // read. libssh2 keeps reads and writes of a handle in one request list, so a write that
    // started where a read left off would take those read requests for its own and the
    // session would fail.
    libssh2_sftp_seek64(handle, offset);
    uint32_t put = 0;
    while (put < k_chunk_size) {
        const ssize_t n = libssh2_sftp_write(handle, reinterpret_cast<const char*>(buf + put),
                                             k_chunk_size - put);
        if (n <= 0) return -1; // 0 would be no progress at all: never loop on it
        put += static_cast<uint32_t>(n);
    }
    return 0;
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

void image_close(image& img) {
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
    return sftp_read_tail(img, offset, buf, 0);
}

int sftp_read_tail(image& img, uint64_t offset, uint8_t* buf, uint32_t from) {
    const uint32_t len = k_chunk_size - from;
    if (img.mock_fp != nullptr) return read_mock_range(img.mock_fp, offset + from, buf + from, len);
    if (img.handle != nullptr) return read_remote_range(img.handle, offset + from, buf + from, len);
    std::memset(buf + from, 0, len);
    return 0;
}

int sftp_write_exact(image& img, uint64_t offset, const uint8_t* buf) {
    if (img.mock_fp != nullptr) return write_mock_chunk(img.mock_fp, offset, buf);
    if (img.handle != nullptr) return write_remote_chunk(img.handle, offset, buf);
    return 0;
}

int image_sync(image& img) {
    if (img.mock_fp != nullptr) return file_sync(img.mock_fp);
    if (img.handle == nullptr || img.fsync_unsupported) return 0;
    const int rc = libssh2_sftp_fsync(img.handle);
    if (rc == 0) return 0;
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL &&
        libssh2_sftp_last_error(img.sftp) == LIBSSH2_FX_OP_UNSUPPORTED) {
        img.fsync_unsupported = true;
        return 0;
    }
    return -1;
}
