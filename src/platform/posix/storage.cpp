// A machine without attached iSCSI disks: no physical drive answers, no volume opens.
#include "platform/storage.h"

namespace {
constexpr unsigned long k_error_file_not_found = 2;
}

int storage_query_ids(int, std::string&, std::string&) {
    return -1;
}

volume_t volume_open(char, unsigned long* sys_error) {
    if (sys_error != nullptr) *sys_error = k_error_file_not_found;
    return nullptr;
}

void volume_flush(volume_t) {}

bool volume_lock(volume_t) {
    return false;
}

bool volume_dismount(volume_t) {
    return false;
}

bool volume_unlock(volume_t) {
    return false;
}

void volume_close(volume_t) {}

bool volume_remove_mount_point(char) {
    return false;
}
