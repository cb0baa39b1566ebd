#include "support/temp_dir.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

scoped_dir::scoped_dir(const std::string& parent) {
    std::string pattern = parent + "/norvaled-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

scoped_dir::~scoped_dir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

tmpfs_dir::tmpfs_dir(uint64_t bytes) {
    if (!dir_.ok()) return;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    mounted_ = mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
}

tmpfs_dir::~tmpfs_dir() {
    // Files still open (an image the library keeps) make a plain unmount fail; detach then.
    if (mounted_ && umount(dir_.path().c_str()) != 0) umount2(dir_.path().c_str(), MNT_DETACH);
}

bool tmpfs_dir::fill() {
    const int fd = open(file("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    static const std::vector<uint8_t> block(65536, 0xF1);
    for (const std::size_t piece : {block.size(), std::size_t{4096}})
        while (write(fd, block.data(), piece) > 0) {
        }
    close(fd);
    struct statvfs st {};
    return statvfs(path().c_str(), &st) == 0 && st.f_bavail == 0;
}

void tmpfs_dir::unfill() {
    unlink(file("filler").c_str());
}

uint8_t pattern_byte(uint64_t k, uint32_t seed) {
    uint64_t x = k * 0x9E3779B97F4A7C15ull + seed;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    return static_cast<uint8_t>(x >> 56);
}

std::vector<uint8_t> pattern(uint64_t offset, std::size_t len, uint32_t seed) {
    std::vector<uint8_t> v(len);
    for (std::size_t i = 0; i < len; ++i)
        v[i] = pattern_byte(offset + i, seed);
    return v;
}

bool create_sparse_file(const std::string& path, uint64_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    const bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    return ok;
}

bool write_at(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    const ssize_t n = pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    close(fd);
    return n == static_cast<ssize_t>(data.size());
}

std::vector<uint8_t> read_at(const std::string& path, uint64_t offset, std::size_t len) {
    std::vector<uint8_t> v(len);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    const ssize_t n = pread(fd, v.data(), len, static_cast<off_t>(offset));
    close(fd);
    if (n < 0) return {};
    v.resize(static_cast<std::size_t>(n));
    return v;
}

int64_t size_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void write_program(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
