// The backing image: created, lengthened and never shortened, in mock mode and over SFTP; chunk
// reads and writes land at their offsets; a chunk that could not be read is never served.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "norvaled.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/image.h"
#include "store/sftp.h"
#include "support/cache_helpers.h"
#include "support/library_helpers.h"
#include "support/sshd_fixture.h"
#include "support/temp_dir.h"

namespace {

constexpr uint64_t k_chunk = k_chunk_size;
constexpr int64_t k_min_size = 64 << 20;

// The same checks run on a local mock file and on a file of the test sshd (which, being on
// this machine, the test reads and prepares directly).
struct image_mode {
    bool sftp;
    const char* name;
};

void PrintTo(const image_mode& m, std::ostream* os) {
    *os << m.name;
}

class Image : public ::testing::TestWithParam<image_mode> {
  protected:
    void SetUp() override {
        if (GetParam().sftp) {
            const sshd_info& s = sshd_start();
            if (!sshd_ok(s)) return;
            dir_ = s.home;
            ASSERT_EQ(
                norvaled_connect("127.0.0.1", s.port, s.user.c_str(), auth_password(s).c_str()), 0)
                << norvaled_last_error();
        } else {
            ASSERT_TRUE(local_.ok());
            dir_ = local_.path();
            ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
        }
    }
    void TearDown() override { norvaled_disconnect(); }

    // A file prepared by the test, writable by the sshd's user as well.
    std::string prepare(const std::string& name, uint64_t size,
                        const std::vector<uint8_t>& head = {}) {
        const std::string p = path(name);
        EXPECT_TRUE(create_sparse_file(p, size));
        if (!head.empty()) {
            EXPECT_TRUE(write_at(p, 0, head));
        }
        chmod(p.c_str(), 0666);
        return p;
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const char* open_failure_prefix() const {
        return GetParam().sftp ? "cannot open/create remote SFTP file: "
                               : "cannot open/create mock file: ";
    }

    // Opens the image as the start does, without its threads, for direct chunk I/O.
    void open_image(const std::string& p, uint64_t size) {
        ASSERT_EQ(link_open_image(img_, p.c_str(), size), 0) << norvaled_last_error();
    }

    scoped_dir local_;
    std::string dir_;
    image img_;
};

std::string mode_name(const ::testing::TestParamInfo<image_mode>& info) {
    return info.param.name;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Modes, Image,
                         ::testing::Values(image_mode{false, "Mock"}, image_mode{true, "Sftp"}),
                         mode_name);

TEST_P(Image, CreatedAtExactlyTheSize) {
    const std::string p = path("new.img");
    const int64_t size = k_min_size + 12345; // not a multiple of anything
    ASSERT_EQ(start_on_free_port(p, size), 0) << norvaled_last_error();
    EXPECT_EQ(size_of(p), size);
    EXPECT_EQ(stat_value("capacity"), k_min_size);
    ASSERT_EQ(norvaled_stop(), 0) << norvaled_last_error();
    EXPECT_EQ(size_of(p), size);
    if (GetParam().sftp) {
        struct stat st {};
        ASSERT_EQ(stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_P(Image, ShortFileLengthenedContentKept) {
    const std::vector<uint8_t> head = pattern(0, 1 << 20, 7);
    const std::string p = prepare("short.img", head.size(), head);
    ASSERT_EQ(start_on_free_port(p, k_min_size), 0) << norvaled_last_error();
    EXPECT_EQ(size_of(p), k_min_size);
    std::vector<uint8_t> got(head.size());
    ASSERT_EQ(bc_read(0, got.data(), static_cast<uint32_t>(got.size())), 0);
    EXPECT_TRUE(got == head);
    ASSERT_EQ(norvaled_stop(), 0) << norvaled_last_error();
    EXPECT_EQ(read_at(p, 0, head.size()), head);
}

TEST_P(Image, LongerFileNeverShortenedNorTouchedBeyondCapacity) {
    // 64 MiB + 3 MiB + 5 bytes: the disk is 66 MiB; the last 1 MiB + 5 bytes are not its.
    const uint64_t file_size = k_min_size + 3 * (1 << 20) + 5;
    const uint64_t tail_at = k_min_size + 2 * (1 << 20);
    const std::string p = prepare("long.img", file_size);
    const std::vector<uint8_t> tail = pattern(tail_at, file_size - tail_at, 9);
    ASSERT_TRUE(write_at(p, tail_at, tail));
    ASSERT_EQ(start_on_free_port(p, k_min_size + 3 * (1 << 20)), 0) << norvaled_last_error();
    EXPECT_EQ(size_of(p), static_cast<int64_t>(file_size));
    const uint64_t capacity = static_cast<uint64_t>(stat_value("capacity"));
    ASSERT_EQ(capacity, tail_at);
    // Rewrite the whole last chunk of the disk: the bytes after it must stay.
    const std::vector<uint8_t> last(k_chunk, 0xA5);
    ASSERT_EQ(bc_write(capacity - k_chunk, last.data(), k_chunk_size), 0);
    ASSERT_EQ(norvaled_stop(), 0) << norvaled_last_error();
    EXPECT_EQ(size_of(p), static_cast<int64_t>(file_size));
    EXPECT_EQ(read_at(p, tail_at, tail.size()), tail);
    EXPECT_EQ(read_at(p, capacity - k_chunk, k_chunk), last);

    // A file of exactly the size is left at that size too.
    const std::string exact = prepare("exact.img", k_min_size);
    ASSERT_EQ(start_on_free_port(exact, k_min_size), 0) << norvaled_last_error();
    ASSERT_EQ(norvaled_stop(), 0);
    EXPECT_EQ(size_of(exact), k_min_size);
}

TEST_P(Image, OpenFailureLeavesTheLibraryConnected) {
    const int fds = open_fd_count();
    const std::string bad = path("missing-dir/disk.img");
    EXPECT_EQ(norvaled_start(bad.c_str(), k_min_size, free_port()), NORVALED_E_SSH);
    EXPECT_EQ(std::string(norvaled_last_error()), open_failure_prefix() + bad);
    EXPECT_EQ(stat_value("running"), 0);
    EXPECT_EQ(stat_value("connected"), 1);
    EXPECT_EQ(open_fd_count(), fds);
    ASSERT_EQ(start_on_free_port(path("good.img"), k_min_size), 0) << norvaled_last_error();
    EXPECT_EQ(norvaled_stop(), 0);
}

TEST_P(Image, ChunksReadAndWrittenAtTheirOffsets) {
    // Chunks 0..5 hold a pattern. Reading them out of order, then in order, with a write in
    // between, shows whether every transfer goes to its own offset (a position the SFTP handle
    // still has from the previous transfer must not leak into the next).
    constexpr uint64_t k_filled = 6 * k_chunk;
    const std::string p = prepare("pattern.img", k_min_size, pattern(0, k_filled, 3));
    ASSERT_EQ(start_on_free_port(p, k_min_size), 0) << norvaled_last_error();
    std::vector<uint8_t> got(k_chunk);
    for (const uint64_t c : {3, 1, 4, 0, 5, 2}) {
        ASSERT_EQ(bc_read(c * k_chunk, got.data(), k_chunk_size), 0);
        EXPECT_TRUE(got == pattern(c * k_chunk, k_chunk, 3)) << "chunk " << c;
    }
    const std::vector<uint8_t> piece(3000, 0x42);
    const uint64_t piece_at = 2 * k_chunk - 1000; // spans chunks 1 and 2
    ASSERT_EQ(bc_write(piece_at, piece.data(), static_cast<uint32_t>(piece.size())), 0);
    ASSERT_EQ(norvaled_flush(), 0);
    ASSERT_EQ(norvaled_stop(), 0);

    std::vector<uint8_t> expect = pattern(0, k_filled, 3);
    std::memcpy(expect.data() + piece_at, piece.data(), piece.size());
    EXPECT_TRUE(read_at(p, 0, k_filled) == expect);
    // A fresh run reads what the last one wrote, chunk after chunk.
    ASSERT_EQ(start_on_free_port(p, k_min_size), 0) << norvaled_last_error();
    for (uint64_t c = 0; c < 6; ++c) {
        ASSERT_EQ(bc_read(c * k_chunk, got.data(), k_chunk_size), 0);
        EXPECT_EQ(std::memcmp(got.data(), expect.data() + c * k_chunk, k_chunk), 0)
            << "chunk " << c;
    }
    EXPECT_EQ(norvaled_stop(), 0);
}

// Right after a chunk read, libssh2 still has read-ahead requests in flight; a write of the
// next chunk at the handle's own position must not be taken for part of that read.
TEST_P(Image, ChunkWriteRightAfterAReadOfThePreviousChunk) {
    const std::string p = prepare("readwrite.img", k_min_size, pattern(0, 3 * k_chunk, 8));
    open_image(p, k_min_size);
    std::vector<uint8_t> buf(k_chunk);
    ASSERT_EQ(sftp_read_chunk(img_, 0, buf.data()), 0);
    const std::vector<uint8_t> next(k_chunk, 0x5A);
    ASSERT_EQ(sftp_write_exact(img_, k_chunk, next.data()), 0);
    ASSERT_EQ(sftp_read_chunk(img_, k_chunk, buf.data()), 0);
    EXPECT_TRUE(buf == next);
    ASSERT_EQ(sftp_read_chunk(img_, 2 * k_chunk, buf.data()), 0);
    EXPECT_TRUE(buf == pattern(2 * k_chunk, k_chunk, 8));
    image_close(img_);
    EXPECT_TRUE(read_at(p, k_chunk, k_chunk) == next);
}

TEST_P(Image, ChunkReadPastTheEndGivesZeros) {
    const std::string p = prepare("eof.img", k_min_size);
    open_image(p, k_min_size);
    // The file shrinks under the open image: 1 MiB + 100 bytes of content remain.
    const std::vector<uint8_t> head = pattern(0, (1 << 20) + 100, 5);
    ASSERT_EQ(truncate(p.c_str(), 0), 0);
    ASSERT_TRUE(write_at(p, 0, head));
    std::vector<uint8_t> buf(k_chunk, 0xCC);
    ASSERT_EQ(sftp_read_chunk(img_, 0, buf.data()), 0);
    EXPECT_EQ(std::memcmp(buf.data(), head.data(), head.size()), 0);
    EXPECT_TRUE(std::all_of(buf.begin() + static_cast<long>(head.size()), buf.end(),
                            [](uint8_t b) { return b == 0; }));
    std::fill(buf.begin(), buf.end(), 0xCC);
    ASSERT_EQ(sftp_read_chunk(img_, 4 * k_chunk, buf.data()), 0);
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; }));
    image_close(img_);
}

TEST(ImageMock, FailedChunkReadIsNeverServedNorWrittenBack) {
    scoped_dir dir;
    ASSERT_TRUE(dir.ok());
    const std::string p = dir.file("unreadable.img");
    const std::vector<uint8_t> content = pattern(0, 4 * k_chunk, 11);
    ASSERT_TRUE(create_sparse_file(p, k_min_size));
    ASSERT_TRUE(write_at(p, 0, content));
    ASSERT_TRUE(open_mock_cache(p, k_min_size));
    // The same file through a write-only stream: every read is an I/O error, writes work.
    ASSERT_TRUE(make_mock_image_unreadable(p));

    std::vector<uint8_t> buf(k_chunk, 0xEE);
    EXPECT_EQ(sftp_read_chunk(mock_cache_image(), 0, buf.data()), -1);
    EXPECT_EQ(bc_read(0, buf.data(), 512), -1);
    EXPECT_EQ(bc_read(0, buf.data(), 512), -1);               // tried again, not served from a slot
    EXPECT_EQ(bc_write(k_chunk + 4096, buf.data(), 512), -1); // needs its granule loaded first
    EXPECT_EQ(g_bc.cache_hits.load(), 0u);
    EXPECT_EQ(bc_dirty_count(), 0u);
    EXPECT_EQ(bc_flush(), 0);
    EXPECT_EQ(g_bc.sftp_bytes_w.load(), 0u);
    // A whole chunk needs no load and does reach the file, so the checks above mean something.
    const std::vector<uint8_t> whole(k_chunk, 0x77);
    EXPECT_EQ(bc_write(3 * k_chunk, whole.data(), k_chunk_size), 0);
    EXPECT_EQ(close_mock_cache(), 0u);
    std::vector<uint8_t> expect = content;
    std::memcpy(expect.data() + 3 * k_chunk, whole.data(), k_chunk);
    EXPECT_TRUE(read_at(p, 0, 4 * k_chunk) == expect);
}

TEST_P(Image, DisconnectOfARunningTargetWritesBackFirst) {
    // The final write-back needs the image and, over SFTP, the session: both must still be
    // there when the disconnect stops the target.
    const std::string p = prepare("late.img", k_min_size);
    ASSERT_EQ(start_on_free_port(p, k_min_size), 0) << norvaled_last_error();
    const std::vector<uint8_t> piece = pattern(0, 4096, 8);
    ASSERT_EQ(bc_write(7 * k_chunk + 512, piece.data(), 4096), 0);
    EXPECT_EQ(norvaled_disconnect(), 0);
    EXPECT_EQ(stat_value("connected"), 0);
    EXPECT_EQ(read_at(p, 7 * k_chunk + 512, 4096), piece);
}
