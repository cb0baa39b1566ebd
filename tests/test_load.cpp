// Load: a libiscsi initiator keeps 16 reads and writes in flight over a mock disk twice the
// size of the cache while other threads call the statistics, flush and probe exports. Every
// block read must hold what the model says was last written there, and the process must stay
// within the cache's 256 MiB plus a margin. NORVALED_LOAD_SECONDS sets the length (60 s by
// default; scripts/load.sh runs the long variant).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

#include "norvaled.h"
#include "platform/sys.h"
#include "support/target_fixture.h"

namespace {

constexpr uint64_t k_disk = 512ull << 20; // 256 chunks against 128 cache slots
constexpr uint32_t k_block = 4096;        // the model's unit
constexpr uint32_t k_blocks = k_disk / k_block;
constexpr uint32_t k_max_run = 64; // blocks per command: up to 256 KiB
constexpr int k_depth = 16;
constexpr long k_margin_mib = 64;

// A block's bytes follow from its number and version, so the model is one number a block.
void fill_block(uint8_t* out, uint32_t block, uint32_t version) {
    uint32_t x = block * 2654435761u ^ (version + 1) * 40503u;
    for (uint32_t i = 0; i < k_block; i += 4) {
        x = x * 1664525u + 1013904223u;
        std::memcpy(out + i, &x, 4);
    }
}

struct load_run;

struct op {
    load_run* run = nullptr;
    bool write = false;
    uint32_t first = 0;
    uint32_t count = 0;
    std::vector<uint8_t> data;
};

struct load_run {
    std::vector<uint32_t> version = std::vector<uint32_t>(k_blocks, 0);
    std::vector<uint8_t> busy = std::vector<uint8_t>(k_blocks, 0);
    std::vector<uint8_t> written = std::vector<uint8_t>(k_blocks, 0);
    std::mt19937 rng{12345};
    int in_flight = 0;
    uint64_t reads = 0, writes = 0, mismatches = 0, failures = 0;
};

void done(iscsi_context*, int status, void* command_data, void* private_data) {
    auto* o = static_cast<op*>(private_data);
    load_run& r = *o->run;
    auto* task = static_cast<scsi_task*>(command_data);
    if (status != SCSI_STATUS_GOOD) {
        ++r.failures;
    } else if (!o->write) {
        std::vector<uint8_t> want(k_block);
        for (uint32_t i = 0; i < o->count; ++i) {
            const uint32_t b = o->first + i;
            if (r.written[b]) {
                fill_block(want.data(), b, r.version[b]);
            } else {
                std::fill(want.begin(), want.end(), 0);
            }
            if (task->datain.size < static_cast<int>((i + 1) * k_block) ||
                std::memcmp(task->datain.data + i * k_block, want.data(), k_block) != 0)
                ++r.mismatches;
        }
    }
    for (uint32_t i = 0; i < o->count; ++i)
        r.busy[o->first + i] = 0;
    --r.in_flight;
    scsi_free_scsi_task(task);
    delete o;
}

// Issues one command on a run of blocks no other command in flight touches.
bool issue(iscsi_context* iscsi, load_run& r) {
    auto* o = new op;
    o->run = &r;
    o->write = r.rng() % 2 == 0;
    o->count = 1 + r.rng() % k_max_run;
    o->first = r.rng() % (k_blocks - o->count);
    for (uint32_t i = 0; i < o->count; ++i)
        if (r.busy[o->first + i]) {
            delete o;
            return true; // try another range next turn
        }
    for (uint32_t i = 0; i < o->count; ++i)
        r.busy[o->first + i] = 1;
    const uint32_t lba = o->first * (k_block / 512);
    scsi_task* t = nullptr;
    if (o->write) {
        o->data.resize(static_cast<std::size_t>(o->count) * k_block);
        for (uint32_t i = 0; i < o->count; ++i) {
            const uint32_t b = o->first + i;
            r.version[b] += 1;
            r.written[b] = 1;
            fill_block(o->data.data() + i * k_block, b, r.version[b]);
        }
        ++r.writes;
        t = iscsi_write10_task(iscsi, 0, lba, o->data.data(), o->count * k_block, 512, 0, 0, 0, 0,
                               0, done, o);
    } else {
        ++r.reads;
        t = iscsi_read10_task(iscsi, 0, lba, o->count * k_block, 512, 0, 0, 0, 0, 0, done, o);
    }
    if (t == nullptr) {
        delete o;
        return false;
    }
    ++r.in_flight;
    return true;
}

uint32_t load_seconds() {
    const char* v = std::getenv("NORVALED_LOAD_SECONDS");
    const int s = v != nullptr ? std::atoi(v) : 0;
    return s > 0 ? static_cast<uint32_t>(s) : 60;
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

TEST(Load, MixedQueueDepth16OverADiskLargerThanTheCacheKeepsDataAndMemoryBounds) {
    const target_info* target = target_start_mock(k_disk);
    ASSERT_NE(target, nullptr);
    iscsi_context* iscsi = iscsi_create_context("iqn.2026-08.test:load");
    ASSERT_NE(iscsi, nullptr);
    iscsi_set_targetname(iscsi, NORVALED_TARGET_IQN);
    iscsi_set_session_type(iscsi, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(iscsi, ISCSI_HEADER_DIGEST_NONE);
    ASSERT_EQ(iscsi_full_connect_sync(iscsi, target->portal.c_str(), 0), 0)
        << iscsi_get_error(iscsi);

    std::atomic<bool> stop{false};
    std::atomic<int> export_failures{0};
    std::thread probe([&] {
        while (!stop.load()) {
            if (std::strstr(norvaled_stats(), "\"running\":1") == nullptr) ++export_failures;
            if (norvaled_disk_state() < 0) ++export_failures;
            sleep_ms(20);
        }
    });
    std::thread flusher([&] {
        while (!stop.load()) {
            if (norvaled_flush() != 0) ++export_failures;
            sleep_ms(700);
        }
    });

    load_run r;
    const uint64_t end = tick_ms() + load_seconds() * 1000ull;
    bool broken = false;
    while (!broken && (tick_ms() < end || r.in_flight > 0)) {
        while (tick_ms() < end && r.in_flight < k_depth)
            if (!issue(iscsi, r)) broken = true;
        pollfd p{iscsi_get_fd(iscsi), static_cast<short>(iscsi_which_events(iscsi)), 0};
        if (poll(&p, 1, 1000) < 0 || iscsi_service(iscsi, p.revents) < 0) broken = true;
    }
    stop = true;
    probe.join();
    flusher.join();
    EXPECT_FALSE(broken) << iscsi_get_error(iscsi);
    iscsi_logout_sync(iscsi);
    iscsi_destroy_context(iscsi);

    EXPECT_GT(r.reads, 0u);
    EXPECT_GT(r.writes, 0u);
    EXPECT_EQ(r.failures, 0u);
    EXPECT_EQ(r.mismatches, 0u);
    EXPECT_EQ(export_failures.load(), 0);
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    std::printf("load: %llu reads, %llu writes, peak %ld MiB resident\n",
                static_cast<unsigned long long>(r.reads), static_cast<unsigned long long>(r.writes),
                u.ru_maxrss / 1024);
    if (!sanitized()) {
        EXPECT_LT(u.ru_maxrss / 1024, 256 + k_margin_mib) << "MiB peak resident size";
    }
    target_stop();
}

} // namespace
