// The target's receive path fed as one initiator's byte stream through a socket pair: PDU
// framing, AHS, segment lengths, opcodes, sequence numbers, login, CDB decoding and the write
// data phase. The cache is backed by no image (zeros in, nothing out) and rebuilt per input.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <thread>

#include "iscsi/target.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/image.h"

namespace {

image g_no_image; // no file and no handle: chunks load as zeros and write back nowhere

// Reads and drops what the target answers; a huge READ stops after its first piece anyway,
// as g_running stays 0.
void drain(int fd) {
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    bc_init(&g_no_image, 64ull << 20);
    std::thread out(drain, sv[0]);
    std::thread in([&] {
        for (size_t sent = 0; sent < size;) {
            const ssize_t n = send(sv[0], data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        shutdown(sv[0], SHUT_WR);
    });
    target_serve_connection(sv[1]);
    close(sv[1]);
    in.join();
    out.join();
    close(sv[0]);
    bc_destroy();
    return 0;
}
