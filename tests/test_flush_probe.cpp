// The background write-back of a running target, and the probe of what sector 0 holds.
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "norvaled.h"
#include "platform/sys.h"
#include "store/cache.h"
#include "support/library_helpers.h"
#include "support/mock_library.h"
#include "support/temp_dir.h"

namespace {

constexpr uint64_t k_chunk = k_chunk_size;

class Flush : public mock_library_test {
  protected:
    void SetUp() override {
        mock_library_test::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(start_on_free_port(image_, k_min_size), 0) << norvaled_last_error();
    }
};

// Polls the statistics until the background pass has written bytes back and counted them
// (the file can show the data a moment before), for at most ms.
bool written_back(int64_t bytes, uint32_t ms) {
    const uint64_t deadline = tick_ms() + ms;
    do {
        if (stat_value("dirty_chunks") == 0 && stat_value("sftp_bytes_w") == bytes) return true;
        sleep_ms(100);
    } while (tick_ms() < deadline);
    return false;
}

} // namespace

TEST_F(Flush, WrittenDataReachesTheImageWithoutAFlush) {
    const std::vector<uint8_t> piece = pattern(0, 8192, 4);
    ASSERT_EQ(bc_write(2 * k_chunk + 1024, piece.data(), 8192), 0);
    ASSERT_NE(read_at(image_, 2 * k_chunk + 1024, 8192), piece);
    // The pass comes every 5 s; the limit only ends a wait that would never succeed. Only the
    // three granules the write touched go out, not the chunk.
    ASSERT_TRUE(written_back(3 * k_granule_size, 60000)) << norvaled_stats();
    EXPECT_EQ(read_at(image_, 2 * k_chunk + 1024, 8192), piece);
}

TEST_F(Flush, IdleTargetWritesNothingBack) {
    ASSERT_EQ(norvaled_disk_state(), NORVALED_DISK_BLANK); // a clean chunk in the cache
    sleep_ms(6000);                                        // past the first background pass
    EXPECT_EQ(stat_value("sftp_bytes_w"), 0);
    EXPECT_EQ(stat_value("sftp_bytes_r"), int64_t{k_chunk});
}

TEST_F(Flush, ExportsStatsAndWriterRaceTheFlushThread) {
    // A writer thread dirties chunks while the flush thread writes them back, a host thread
    // probes and this one reads the statistics: run under ThreadSanitizer this shows unguarded
    // state. (One reader of the statistics text only: it is one buffer for the process.)
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<uint8_t> piece(4096, 0x5E);
        for (uint32_t i = 0; !stop.load(); ++i) {
            EXPECT_EQ(bc_write((i % 8) * k_chunk + 4096, piece.data(), 4096), 0);
            sleep_ms(5);
        }
    });
    std::thread reader([&] {
        while (!stop.load()) {
            EXPECT_EQ(norvaled_disk_state(), NORVALED_DISK_BLANK);
            sleep_ms(3);
        }
    });
    const uint64_t deadline = tick_ms() + 6500; // one background pass and then some
    while (tick_ms() < deadline && stat_value("sftp_bytes_w") == 0)
        sleep_ms(50);
    EXPECT_GT(stat_value("sftp_bytes_w"), 0);
    stop = true;
    writer.join();
    reader.join();
    EXPECT_EQ(norvaled_flush(), 0);
    EXPECT_EQ(stat_value("dirty_chunks"), 0);
    EXPECT_EQ(norvaled_stop(), 0);
}

namespace {

using sector = std::array<uint8_t, 512>;

sector boot_sector(const char* name_at_3, const char* name_at_82) {
    sector s{};
    s[0] = 0xEB;
    s[1] = 0x52;
    s[2] = 0x90;
    if (name_at_3 != nullptr) std::memcpy(&s[3], name_at_3, 8);
    if (name_at_82 != nullptr) std::memcpy(&s[82], name_at_82, 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

sector mbr(uint8_t type, uint32_t start, int entry = 0) {
    sector s{};
    uint8_t* e = &s[446 + 16 * entry];
    e[4] = type;
    for (int i = 0; i < 4; ++i)
        e[8 + i] = static_cast<uint8_t>(start >> (8 * i));
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

struct probe_case {
    const char* name;
    sector s;
    int32_t cls;
};

std::vector<probe_case> probe_cases() {
    std::vector<probe_case> v;
    v.push_back({"blank", sector{}, 0});
    v.push_back({"ntfs", boot_sector("NTFS    ", nullptr), 1});
    sector ntfs_bad = boot_sector("NTFS    ", nullptr);
    ntfs_bad[511] = 0xAB;
    v.push_back({"ntfs without signature", ntfs_bad, 2});
    v.push_back({"exfat", boot_sector("EXFAT   ", nullptr), 1});
    v.push_back({"fat32", boot_sector("MSDOS5.0", "FAT32   "), 1});
    v.push_back({"fat16 without partitions", boot_sector("MSDOS5.0", nullptr), 2});
    v.push_back({"mbr 0x07 at 2048", mbr(0x07, 2048), 1});
    v.push_back({"mbr 0x07 at 2048 in entry 4", mbr(0x07, 2048, 3), 1});
    v.push_back({"mbr 0x07 at 0", mbr(0x07, 0), 2});
    v.push_back({"mbr type 0 at 2048", mbr(0x00, 2048), 2});
    v.push_back({"gpt protective", mbr(0xEE, 0), 1});
    v.push_back({"gpt protective in entry 3", mbr(0xEE, 1, 2), 1});
    sector noise{};
    const std::vector<uint8_t> bytes = pattern(0, 446, 99);
    std::copy(bytes.begin(), bytes.end(), noise.begin());
    noise[510] = 0x55;
    noise[511] = 0xAA;
    v.push_back({"random ending 55 AA", noise, 2});
    sector one_byte{};
    one_byte[300] = 1;
    v.push_back({"one nonzero byte", one_byte, 2});
    return v;
}

} // namespace

TEST(Probe, ClassesOfSectorZero) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    for (const probe_case& c : probe_cases()) {
        const std::string image = dir.file("probe.img");
        ASSERT_TRUE(create_sparse_file(image, k_min_size));
        ASSERT_TRUE(write_at(image, 0, std::vector<uint8_t>(c.s.begin(), c.s.end())));
        ASSERT_EQ(start_on_free_port(image, k_min_size), 0) << norvaled_last_error();
        EXPECT_EQ(norvaled_disk_state(), c.cls) << c.name;
        EXPECT_STREQ(norvaled_last_error(), "");
        ASSERT_EQ(norvaled_stop(), 0);
        std::remove(image.c_str());
    }
    // What the probe sees is the disk as the cache holds it, written or not yet written back.
    const std::string image = dir.file("probe.img");
    ASSERT_EQ(start_on_free_port(image, k_min_size), 0) << norvaled_last_error();
    EXPECT_EQ(norvaled_disk_state(), NORVALED_DISK_BLANK);
    const sector ntfs = boot_sector("NTFS    ", nullptr);
    ASSERT_EQ(bc_write(0, ntfs.data(), 512), 0);
    EXPECT_EQ(norvaled_disk_state(), NORVALED_DISK_RECOGNISED);
    EXPECT_EQ(norvaled_disconnect(), 0);
}

TEST(Probe, BeforeStart) {
    EXPECT_EQ(norvaled_disk_state(), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(),
                 "target not running \xE2\x80\x94 call norvaled_start first");
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
    EXPECT_EQ(norvaled_disk_state(), NORVALED_E_STATE);
    EXPECT_STREQ(norvaled_last_error(),
                 "target not running \xE2\x80\x94 call norvaled_start first");
    norvaled_disconnect();
}
