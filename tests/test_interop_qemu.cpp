// qemu's iSCSI block driver against the library's own target: whole-disk copies in and out,
// and pipelined writes (many commands in flight, each needing R2Ts), checked byte for byte
// through the target and in the image file itself.
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/run_cmd.h"
#include "support/target_fixture.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t k_qemu_ms = 180000;
constexpr uint64_t k_mib = 1u << 20;

using bytes = std::vector<uint8_t>;

// Bytes of the kernel's random source: different in every 512-byte block, so data that lands
// in another block's place shows, and cheap to make even in a sanitizer build.
bytes random_bytes(std::size_t n) {
    bytes out(n);
    std::FILE* f = std::fopen("/dev/urandom", "rb");
    const bool ok = f != nullptr && std::fread(out.data(), 1, n, f) == n;
    if (f != nullptr) std::fclose(f);
    EXPECT_TRUE(ok) << "reading /dev/urandom";
    return out;
}

// "" when equal, else where and how they first differ: a 64 MiB dump helps nobody.
std::string difference(const bytes& got, const bytes& want) {
    if (got.size() != want.size())
        return "size " + std::to_string(got.size()) + ", expected " + std::to_string(want.size());
    if (got == want) return "";
    const auto at = std::mismatch(got.begin(), got.end(), want.begin());
    const std::size_t i = static_cast<std::size_t>(at.first - got.begin());
    char buf[128];
    std::snprintf(buf, sizeof buf,
                  "first difference at byte %zu (block %zu): 0x%02x, expected 0x%02x", i, i / 512,
                  got[i], want[i]);
    return buf;
}

class QemuImg : public target_test {
  protected:
    void qemu_img(std::vector<std::string> args) {
        args.insert(args.begin(), "qemu-img");
        const cmd_result r = run_cmd(args, k_qemu_ms);
        ASSERT_TRUE(r.ok()) << args[1] << ": " << r.describe();
    }
    // The whole disk as the initiator reads it back through the target.
    bytes read_through_target() {
        const std::string back = scratch_dir() + "/back.bin";
        qemu_img({"convert", "-f", "raw", "-O", "raw", target_->url, back});
        return read_at(back, 0, target_->size + 1);
    }
    // The image file once every cached chunk has been written back.
    // Writes data to a scratch file and converts it onto the disk, with any extra options.
    void convert_onto_target(const bytes& data, std::vector<std::string> options = {}) {
        const std::string src = scratch_dir() + "/src.bin";
        ASSERT_TRUE(write_at(src, 0, data));
        std::vector<std::string> args = {"convert"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"-n", "-f", "raw", "-O", "raw", src, target_->url});
        qemu_img(args);
    }
    bytes flushed_image() {
        EXPECT_EQ(target_flush(), 0);
        return read_at(target_->image_path, 0, target_->size);
    }
};

TEST_P(QemuImg, ConvertWritesRandomDiskAndReadsItBackIdentical) {
    const bytes data = random_bytes(target_->size);
    ASSERT_NO_FATAL_FAILURE(convert_onto_target(data));
    bytes back;
    ASSERT_NO_FATAL_FAILURE(back = read_through_target());
    EXPECT_EQ(difference(back, data), "") << "read back through the target";
    EXPECT_EQ(difference(flushed_image(), data), "") << "image file after the flush";
}

// Depth 16 keeps new WRITEs arriving while earlier ones still wait for their Data-Out. The
// second, strided pass writes every other MiB: a write that lost data, or spilled past its
// own MiB, leaves a 0xAB where a 0xCD belongs or the other way round. (Data swapped between
// two commands is the out-of-order convert's to find: bench gives every command one pattern.)
TEST_P(QemuImg, PipelinedBenchWritesLandInTheirOwnRanges) {
    const std::string count = std::to_string(target_->size / k_mib);
    const std::string half = std::to_string(target_->size / k_mib / 2);
    ASSERT_NO_FATAL_FAILURE(qemu_img({"bench", "-w", "-d", "16", "-s", "1M", "-c", count,
                                      "--pattern=0xAB", "-f", "raw", target_->url}));
    ASSERT_NO_FATAL_FAILURE(qemu_img({"bench", "-w", "-d", "16", "-s", "1M", "-S", "2M", "-c", half,
                                      "--pattern=0xCD", "-f", "raw", target_->url}));
    bytes want(target_->size);
    for (std::size_t i = 0; i < want.size(); ++i)
        want[i] = (i / k_mib) % 2 == 0 ? 0xCD : 0xAB;
    bytes back;
    ASSERT_NO_FATAL_FAILURE(back = read_through_target());
    EXPECT_EQ(difference(back, want), "") << "read back through the target";
    EXPECT_EQ(difference(flushed_image(), want), "") << "image file after the flush";
}

// Out-of-order writes from 16 coroutines, each with data of its own.
TEST_P(QemuImg, OutOfOrderConvertLandsEveryBlock) {
    const bytes data = random_bytes(target_->size);
    ASSERT_NO_FATAL_FAILURE(convert_onto_target(data, {"-W", "-m", "16"}));
    EXPECT_EQ(difference(flushed_image(), data), "") << "image file after the flush";
}

// An initiator killed in the middle of pipelined writes must not take the target with it:
// the next one logs in and its data lands.
TEST_P(QemuImg, InitiatorKilledMidWriteLeavesTheTargetServing) {
    constexpr uint32_t k_kill_after_ms = 1500; // far short of a million 1 MiB writes
    const cmd_result killed = run_cmd({"qemu-img", "bench", "-w", "-d", "16", "-s", "1M", "-c",
                                       "1000000", "--pattern=0x77", "-f", "raw", target_->url},
                                      k_kill_after_ms);
    ASSERT_TRUE(killed.timed_out) << killed.describe();
    const bytes data = random_bytes(8 * k_mib);
    ASSERT_NO_FATAL_FAILURE(convert_onto_target(data));
    bytes back;
    ASSERT_NO_FATAL_FAILURE(back = read_through_target());
    back.resize(data.size());
    EXPECT_EQ(difference(back, data), "") << "read back through the target";
    bytes image = flushed_image();
    image.resize(data.size());
    EXPECT_EQ(difference(image, data), "") << "image file after the flush";
}

INSTANTIATE_TEST_SUITE_P(Backends, QemuImg,
                         ::testing::Values(target_backend::mock, target_backend::sftp),
                         [](const auto& info) { return std::string(backend_name(info.param)); });

} // namespace
