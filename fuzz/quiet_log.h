// The attachment's readers copy lines into the mount log: during a fuzz run it goes to
// /dev/null through a private PUBLIC directory, so a long run fills no disk.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

inline void quiet_mount_log() {
    char dir[] = "/tmp/norvaled-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    std::string log = std::string(dir) + "/vk_norvaled_mount.log";
    if (symlink("/dev/null", log.c_str()) != 0) return;
    setenv("PUBLIC", dir, 1);
}

// The input as a read-only stream, with every byte (NULs too) as a file would give it.
inline std::FILE* input_stream(const uint8_t* data, size_t size) {
    if (size == 0) return std::fopen("/dev/null", "r");
    return fmemopen(const_cast<uint8_t*>(data), size, "r");
}
