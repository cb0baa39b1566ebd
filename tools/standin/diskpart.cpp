// diskpart /s FILE: the commands of the mount's two scripts, run on a drive of the daemon.
// Partition table and NTFS are written for real, through the drive's iSCSI session.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/sys.h"
#include "standin.h"

namespace {

constexpr uint32_t k_sector = 512;
constexpr uint64_t k_partition_start = 2048; // 1 MiB, in sectors
constexpr uint64_t k_io_bytes = 1u << 20;    // one write request at most
constexpr uint64_t k_clean_bytes = 1u << 20; // what clean wipes at each end of the disk
constexpr std::size_t k_entry0 = 446;        // first partition entry of an MBR
constexpr uint8_t k_type_ntfs = 0x07;

using sector_t = std::array<uint8_t, k_sector>;

struct disk_run {
    int disk = -1;     // selected drive number
    int partition = 0; // selected partition, 1-based; 0 none
    uint64_t sectors = 0;
    std::string error; // set by a failing command
};

bool fail(disk_run& r, const std::string& message) {
    r.error = message;
    return false;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool disk_write(disk_run& r, uint64_t offset, const char* data, uint64_t len) {
    for (uint64_t done = 0; done < len; done += k_io_bytes) {
        const uint64_t n = std::min(k_io_bytes, len - done);
        standin_reply reply;
        if (!tool_request("diskpart",
                          "write " + std::to_string(r.disk) + " " +
                              std::to_string((offset + done) / k_sector),
                          reply, data + done, n))
            return fail(r, "a write to disk " + std::to_string(r.disk) + " failed");
    }
    return true;
}

bool read_mbr(disk_run& r, sector_t& s) {
    standin_reply reply;
    if (!tool_request("diskpart", "read " + std::to_string(r.disk) + " 0 1", reply) ||
        reply.payload.size() != k_sector)
        return fail(r, "cannot read the partition table");
    std::memcpy(s.data(), reply.payload.data(), k_sector);
    return true;
}

bool has_mbr(const sector_t& s) {
    return s[510] == 0x55 && s[511] == 0xAA;
}

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

const uint8_t* entry(const sector_t& s, int index) {
    return s.data() + k_entry0 + 16 * index;
}

bool has_partitions(const sector_t& s) {
    if (!has_mbr(s)) return false;
    for (int i = 0; i < 4; ++i)
        if (entry(s, i)[4] != 0) return true;
    return false;
}

// Cylinder-head-sector of an LBA in the usual 255-head, 63-sector geometry; the "beyond CHS"
// marker when the cylinder does not fit.
void put_chs(uint8_t* p, uint64_t lba) {
    uint64_t c = lba / (255 * 63), h = (lba / 63) % 255, s = lba % 63 + 1;
    if (c > 1023) c = 1023, h = 254, s = 63;
    p[0] = static_cast<uint8_t>(h);
    p[1] = static_cast<uint8_t>(s | ((c >> 2) & 0xC0));
    p[2] = static_cast<uint8_t>(c & 0xFF);
}

bool select_disk(disk_run& r, const std::string& arg) {
    standin_reply reply;
    if (standin_call("drive " + arg, reply) != 0 || !reply.ok)
        return fail(r, "there is no disk " + arg);
    const std::vector<std::string> f = split_fields(reply.text);
    if (f.size() < 4 || std::strtoul(f[3].c_str(), nullptr, 10) != k_sector)
        return fail(r, "disk " + arg + " does not have 512-byte sectors");
    r.disk = std::atoi(arg.c_str());
    r.partition = 0;
    r.sectors = std::strtoull(f[2].c_str(), nullptr, 10);
    return true;
}

bool select_partition(disk_run& r, const std::string& arg) {
    sector_t s{};
    const int index = std::atoi(arg.c_str());
    if (!read_mbr(r, s)) return false;
    if (index < 1 || index > 4 || !has_mbr(s) || entry(s, index - 1)[4] == 0)
        return fail(r, "there is no partition " + arg + " on disk " + std::to_string(r.disk));
    r.partition = index;
    return true;
}

bool clean(disk_run& r) {
    const uint64_t bytes = r.sectors * k_sector;
    const std::string zeros(static_cast<std::size_t>(std::min(bytes, k_clean_bytes)), '\0');
    standin_reply reply;
    if (!disk_write(r, 0, zeros.data(), zeros.size()) ||
        !disk_write(r, bytes - zeros.size(), zeros.data(), zeros.size()) ||
        !tool_request("diskpart", "unassign_drive " + std::to_string(r.disk), reply))
        return false;
    r.partition = 0;
    return true;
}

bool convert_mbr(disk_run& r) {
    sector_t s{};
    if (!read_mbr(r, s)) return false;
    if (has_partitions(s)) return fail(r, "the disk is not empty; clean it first");
    s.fill(0);
    put_le32(s.data() + 440, static_cast<uint32_t>(tick_ms() * 2654435761u) | 1u); // signature
    s[510] = 0x55;
    s[511] = 0xAA;
    return disk_write(r, 0, reinterpret_cast<const char*>(s.data()), k_sector);
}

// One primary NTFS partition from 1 MiB to the end of the disk (or of what MBR can address).
bool create_primary(disk_run& r) {
    sector_t s{};
    if (!read_mbr(r, s)) return false;
    if (!has_mbr(s)) return fail(r, "the disk has no partition table; convert mbr first");
    if (has_partitions(s)) return fail(r, "the stand-in creates a partition on an empty disk only");
    if (r.sectors <= k_partition_start + 1) return fail(r, "the disk is too small");
    const uint64_t count = std::min<uint64_t>(r.sectors - k_partition_start, 0xFFFFFFFFu);
    uint8_t* e = s.data() + k_entry0;
    put_chs(e + 1, k_partition_start);
    e[4] = k_type_ntfs;
    put_chs(e + 5, k_partition_start + count - 1);
    put_le32(e + 8, static_cast<uint32_t>(k_partition_start));
    put_le32(e + 12, static_cast<uint32_t>(count));
    if (!disk_write(r, 0, reinterpret_cast<const char*>(s.data()), k_sector)) return false;
    r.partition = 1;
    return true;
}

// The geometry Windows gives a partition (hidden sectors, 512-byte sectors, 255 heads, 63
// sectors a track), so that the boot sector matches what diskpart's format writes.
int run_mkntfs(const std::string& program, const std::string& label, const std::string& file) {
    std::fflush(stdout);
    const std::string hidden = std::to_string(k_partition_start);
    const pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), "mkntfs", "-Q", "-F", "-L", label.c_str(), "-p", hidden.c_str(),
              "-s", "512", "-H", "255", "-S", "63", file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Copies the extents mkntfs wrote (the rest of the scratch file is holes) to the partition.
bool copy_extents(disk_run& r, int fd, uint64_t part_offset) {
    std::string buf;
    off_t pos = 0;
    for (;;) {
        const off_t data = lseek(fd, pos, SEEK_DATA);
        if (data < 0) return errno == ENXIO || fail(r, "cannot scan the formatted file");
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) return fail(r, "cannot scan the formatted file");
        for (off_t at = data; at < hole;) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<uint64_t>(k_io_bytes, static_cast<uint64_t>(hole - at)));
            buf.resize(n);
            if (pread(fd, buf.data(), n, at) != static_cast<ssize_t>(n))
                return fail(r, "cannot read the formatted file");
            if (!disk_write(r, part_offset + static_cast<uint64_t>(at), buf.data(), n))
                return false;
            at += static_cast<off_t>(n);
        }
        pos = hole;
    }
}

// A real quick NTFS format: mkntfs on a sparse file of the partition's size, then its extents.
bool format_ntfs(disk_run& r, const std::string& args) {
    if (args.find("fs=ntfs") == std::string::npos)
        return fail(r, "the stand-in formats fs=ntfs only");
    std::string label;
    const std::size_t at = args.find("label=\"");
    if (at != std::string::npos) label = args.substr(at + 7, args.find('"', at + 7) - at - 7);
    sector_t s{};
    if (r.partition == 0) return fail(r, "there is no partition selected");
    if (!read_mbr(r, s)) return false;
    const uint64_t start = le32(entry(s, r.partition - 1) + 8);
    const uint64_t bytes = uint64_t{le32(entry(s, r.partition - 1) + 12)} * k_sector;
    const std::string mkntfs = program_on_path("mkntfs", "/usr/sbin:/sbin");
    if (mkntfs.empty()) return fail(r, "mkntfs not found (Debian package ntfs-3g)");
    std::string file = temp_dir() + "norvaled-ntfs-XXXXXX";
    const int fd = mkstemp(file.data());
    if (fd < 0) return fail(r, "cannot create a scratch file in " + temp_dir());
    bool ok = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    if (!ok) fail(r, "cannot size the scratch file");
    if (ok && run_mkntfs(mkntfs, label, file) != 0) ok = fail(r, "mkntfs failed");
    if (ok) ok = copy_extents(r, fd, start * k_sector);
    close(fd);
    unlink(file.c_str());
    return ok;
}

bool assign_letter(disk_run& r, const std::string& args) {
    const std::size_t at = args.find("letter=");
    if (at == std::string::npos || at + 7 >= args.size()) return fail(r, "assign needs letter=X");
    standin_reply reply;
    if (standin_call("assign " + std::to_string(r.disk) + " " + args.substr(at + 7, 1), reply) !=
            0 ||
        !reply.ok)
        return fail(r, "cannot assign the letter: " + reply.text);
    return true;
}

bool run_command(disk_run& r, const std::string& line) {
    const std::string l = lower(line);
    if (l.rfind("select disk ", 0) == 0) return select_disk(r, l.substr(12));
    if (r.disk < 0) return fail(r, "there is no disk selected");
    standin_reply unused;
    if (l.rfind("attributes disk clear readonly", 0) == 0 || l.rfind("online disk", 0) == 0)
        return true; // the stand-in's drives are always writable and online
    if (l.rfind("select partition ", 0) == 0) return select_partition(r, l.substr(17));
    if (l.rfind("remove all", 0) == 0)
        return tool_request("diskpart", "unassign_drive " + std::to_string(r.disk), unused);
    if (l == "clean") return clean(r);
    if (l == "convert mbr") return convert_mbr(r);
    if (l == "create partition primary") return create_primary(r);
    if (l.rfind("format ", 0) == 0) return format_ntfs(r, line.substr(7));
    if (l.rfind("assign ", 0) == 0) return assign_letter(r, l);
    return fail(r, "unknown command \"" + line + "\"");
}

std::string trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

} // namespace

int diskpart_main(int argc, char** argv) {
    if (argc != 3 || lower(argv[1]) != "/s") {
        std::fprintf(stderr, "diskpart: usage: diskpart /s SCRIPT\n");
        return 1;
    }
    std::ifstream in(argv[2]);
    if (!in) {
        std::fprintf(stderr, "diskpart: cannot open the script %s\n", argv[2]);
        return 1;
    }
    disk_run r;
    int number = 0;
    for (std::string raw; std::getline(in, raw);) {
        ++number;
        std::string line = trim(raw);
        if (line.empty() || lower(line) == "rem" || lower(line).rfind("rem ", 0) == 0) continue;
        // "noerr" lets the script go on past a failure of that command, as in diskpart.
        const bool noerr =
            lower(line).size() >= 6 && lower(line).compare(line.size() - 6, 6, " noerr") == 0;
        if (noerr) line = trim(line.substr(0, line.size() - 6));
        if (run_command(r, line)) {
            std::printf("DiskPart: %s: done.\n", line.c_str());
            continue;
        }
        std::fprintf(stderr, "diskpart: line %d (%s): %s\n", number, line.c_str(), r.error.c_str());
        if (!noerr) return 2;
    }
    return 0;
}
