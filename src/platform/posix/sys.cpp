#include "platform/sys.h"
#include "platform/posix/search_path.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

uint64_t tick_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void sleep_ms(uint32_t ms) {
    timespec ts{};
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

bool env_get(const char* name, std::string& value) {
    const char* v = std::getenv(name);
    if (v == nullptr) return false;
    value = v;
    return true;
}

std::string temp_dir() {
    std::string dir;
    if (!env_get("TMPDIR", dir) || dir.empty()) dir = "/tmp";
    if (dir.back() != '/') dir += '/';
    return dir;
}

int file_seek64(std::FILE* f, uint64_t offset) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

int64_t file_size(std::FILE* f) {
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    return static_cast<int64_t>(ftello(f));
}

char dir_separator() {
    return '/';
}

// Text and binary are the same on POSIX.
std::FILE* file_create_private(const char* path, file_mode) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "wb");
    if (f == nullptr) close(fd);
    return f;
}

std::FILE* file_open_append_no_link(const char* path) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "a");
    if (f == nullptr) close(fd);
    return f;
}

int random_bytes(void* buf, std::size_t len) {
    auto* p = static_cast<unsigned char*>(buf);
    while (len > 0) {
        const ssize_t n = getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

int file_sync(std::FILE* f) {
    if (std::fflush(f) != 0) return -1;
    return fsync(fileno(f)) == 0 ? 0 : -1;
}

std::string find_in_dirs(const std::string& name, const std::string& dirs) {
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string program_on_path(const char* name, const std::string& extra_dirs) {
    std::string path;
    env_get("PATH", path);
    if (!extra_dirs.empty()) path += ":" + extra_dirs;
    return find_in_dirs(name, path);
}
