#include "support/cache_helpers.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "norvaled.h"
#include "store/cache.h"
#include "store/image.h"
#include "store/sftp.h"
#include "store/sftp.h"

namespace {
image g_cache_image; // the image these helpers hand the cache
}

image& mock_cache_image() {
    return g_cache_image;
}

bool open_mock_cache(const std::string& path, uint64_t size) {
    if (norvaled_connect("mock", 0, "tester", nullptr) != 0) return false;
    if (link_open_image(g_cache_image, path.c_str(), size) != 0) {
        std::fprintf(stderr, "image_open: %s\n", norvaled_last_error());
        return false;
    }
    bc_init(&g_cache_image, size);
    return true;
}

uint32_t close_mock_cache() {
    const uint32_t lost = bc_destroy();
    image_close(g_cache_image);
    norvaled_disconnect();
    return lost;
}

namespace {

// Puts a descriptor opened with flags in place of every descriptor this process holds on path,
// as a disk that turns bad would: whoever opened the image (the cache tests or the library
// itself) keeps its FILE and simply sees its reads fail, or work again.
bool reopen_open_descriptors(const std::string& path, int flags) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) return false;
    const int replacement = open(real, flags);
    if (replacement < 0) return false;
    int replaced = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(dir)) {
            const int fd = std::atoi(e->d_name);
            char target[PATH_MAX];
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (fd <= 2 || fd == replacement || fd == dirfd(dir) || n <= 0) continue;
            target[n] = 0;
            if (std::strcmp(target, real) == 0 && dup2(replacement, fd) == fd) ++replaced;
        }
        closedir(dir);
    }
    close(replacement);
    return replaced > 0;
}

} // namespace

// Under the link lock: a transfer in flight keeps the stream it started with.
bool make_mock_image_unreadable(const std::string& path) {
    link_guard link;
    return reopen_open_descriptors(path, O_WRONLY);
}

bool make_mock_image_readable(const std::string& path) {
    link_guard link;
    return reopen_open_descriptors(path, O_RDWR);
}
