#include "support/cache_helpers.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "norvaled.h"
#include "state/state.h"
#include "store/cache.h"
#include "store/image.h"
#include "store/sftp.h"

bool open_mock_cache(const std::string& path, uint64_t size) {
    if (norvaled_connect("mock", 0, "tester", nullptr) != 0) return false;
    std::snprintf(g_remote_path, sizeof g_remote_path, "%s", path.c_str());
    if (image_open(size) != 0) {
        std::fprintf(stderr, "image_open: %s\n", norvaled_last_error());
        return false;
    }
    bc_init(size);
    return true;
}

uint32_t close_mock_cache() {
    const uint32_t lost = bc_destroy();
    image_close();
    norvaled_disconnect();
    return lost;
}

bool make_mock_image_unreadable(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    std::FILE* f = fdopen(fd, "wb");
    if (f == nullptr) {
        close(fd);
        return false;
    }
    link_guard link; // a transfer in flight must not lose its stream
    std::fclose(g_mock_fp);
    g_mock_fp = f;
    return true;
}

bool make_mock_image_readable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr) return false;
    link_guard link;
    std::fclose(g_mock_fp);
    g_mock_fp = f;
    return true;
}
