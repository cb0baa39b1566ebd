// Serves a mock image, mounts it with formatting allowed, and prints the mount's code and
// last-error text and then the unmount's, one line each, so a test can check how far the
// Windows attachment gets on a machine with or without an iSCSI initiator.
//   mount_probe IMAGE PORT LETTER [mount-only]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "norvaled.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: mount_probe IMAGE PORT LETTER [mount-only]\n");
        return 2;
    }
    if (norvaled_connect("mock", 0, "probe", nullptr) != 0 ||
        norvaled_start(argv[1], 64ll << 20, std::atoi(argv[2])) != 0) {
        std::printf("start failed: %s\n", norvaled_last_error());
        return 1;
    }
    const int32_t mounted = norvaled_mount_ex(argv[3][0], 1);
    std::printf("mount %d %s\n", static_cast<int>(mounted), norvaled_last_error());
    if (argc < 5 || std::strcmp(argv[4], "mount-only") != 0) {
        const int32_t unmounted = norvaled_unmount();
        std::printf("unmount %d %s\n", static_cast<int>(unmounted), norvaled_last_error());
    }
    std::printf("%s\n", norvaled_stats());
    norvaled_disconnect();
    return 0;
}
