// The worst latency of a cached read while the cache writes back: logs in to a target, reads
// block 0 (so that it is cached), writes MIB MiB of 1 MiB writes behind it (dirty chunks that
// the background pass then writes back), and for SECONDS issues one 4 KiB READ of block 0
// every 100 ms. Prints "max_ms N" and "reads N".
//   latency_probe PORT IQN MIB SECONDS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

namespace {

using clock_type = std::chrono::steady_clock;

bool task_good(scsi_task* t) {
    const bool good = t != nullptr && t->status == SCSI_STATUS_GOOD;
    if (t != nullptr) scsi_free_scsi_task(t);
    return good;
}

bool read_block0(iscsi_context* c) {
    return task_good(iscsi_read16_sync(c, 0, 0, 4096, 512, 0, 0, 0, 0, 0));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: latency_probe PORT IQN MIB SECONDS\n");
        return 2;
    }
    const std::string portal = std::string("127.0.0.1:") + argv[1];
    const long mib = std::atol(argv[3]);
    const long seconds = std::atol(argv[4]);
    iscsi_context* c = iscsi_create_context("iqn.2026-08.bench:latency-probe");
    if (c == nullptr) return 1;
    iscsi_set_targetname(c, argv[2]);
    iscsi_set_session_type(c, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(c, ISCSI_HEADER_DIGEST_NONE);
    if (iscsi_full_connect_sync(c, portal.c_str(), 0) != 0) {
        std::fprintf(stderr, "login: %s\n", iscsi_get_error(c));
        return 1;
    }
    if (!read_block0(c)) return 1;
    std::vector<unsigned char> mib_data(1 << 20, 0x5A);
    for (long i = 0; i < mib; ++i) {
        const uint64_t lba = (4ull << 20) / 512 + static_cast<uint64_t>(i) * 2048;
        if (!task_good(
                iscsi_write16_sync(c, 0, lba, mib_data.data(), 1 << 20, 512, 0, 0, 0, 0, 0))) {
            std::fprintf(stderr, "write: %s\n", iscsi_get_error(c));
            return 1;
        }
    }
    double worst = 0;
    long reads = 0;
    const auto end = clock_type::now() + std::chrono::seconds(seconds);
    while (clock_type::now() < end) {
        const auto t0 = clock_type::now();
        if (!read_block0(c)) return 1;
        const double ms = std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
        worst = std::max(worst, ms);
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("max_ms %.1f\nreads %ld\n", worst, reads);
    iscsi_logout_sync(c);
    iscsi_destroy_context(c);
    return 0;
}
