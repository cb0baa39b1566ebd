// Times the backing store alone, without the target: the library's own chunk read and write
// over SFTP, front to back or spread over the image, so that the way the chunk read drives
// libssh2 (piece size, seeks) can be compared with the bare chunk loop.
//
//   store_probe <host> <port> <user> <key> <path> <disk-bytes> <chunks>
//   seq-read|spread-read|seq-write
//
// Prints chunks per second and MB/s of chunk payload.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "norvaled.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/image.h"
#include "store/sftp.h"

namespace {

// Chunk k of a spread pass: an odd stride visits every chunk once, each far from the last.
uint64_t spread_offset(uint32_t k, uint32_t disk_chunks) {
    constexpr uint64_t k_stride = 195; // chunks; odd, so coprime with any power of two
    return (k * k_stride % disk_chunks) * k_chunk_size;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "usage: store_probe <host> <port> <user> <key> <path> <disk-bytes> "
                             "<chunks> seq-read|spread-read|seq-write\n");
        return 2;
    }
    const std::string auth = std::string("{\"key_path\":\"") + argv[4] + "\"}";
    if (norvaled_connect(argv[1], std::atoi(argv[2]), argv[3], auth.c_str()) != 0) {
        std::fprintf(stderr, "store_probe: %s\n", norvaled_last_error());
        return 1;
    }
    const uint64_t disk = std::strtoull(argv[6], nullptr, 10);
    const auto chunks = static_cast<uint32_t>(std::strtoul(argv[7], nullptr, 10));
    const std::string mode = argv[8];
    image img;
    if (link_open_image(img, argv[5], disk) != 0) {
        std::fprintf(stderr, "store_probe: %s\n", norvaled_last_error());
        norvaled_disconnect();
        return 1;
    }
    const auto disk_chunks = static_cast<uint32_t>(disk / k_chunk_size);
    std::vector<uint8_t> buf(k_chunk_size, 0x5a);
    int rc = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (uint32_t k = 0; k < chunks && rc == 0; ++k) {
        const uint64_t seq = static_cast<uint64_t>(k % disk_chunks) * k_chunk_size;
        if (mode == "seq-write")
            rc = sftp_write_exact(img, seq, buf.data());
        else
            rc = sftp_read_chunk(img, mode == "spread-read" ? spread_offset(k, disk_chunks) : seq,
                                 buf.data());
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    image_close(img);
    norvaled_disconnect();
    if (rc != 0) {
        std::fprintf(stderr, "store_probe: chunk transfer failed\n");
        return 1;
    }
    std::printf("%s %u chunks %.3f s %.1f chunks/s %.1f MB/s\n", mode.c_str(), chunks, took.count(),
                chunks / took.count(), chunks * double(k_chunk_size) / 1e6 / took.count());
    return 0;
}
