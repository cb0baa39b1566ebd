#include "attach/mount_claim.h"

#include "platform/proc.h"

namespace {
constexpr const char* k_claim_name = "norvaled-mounted-disk";
machine_lock_t g_mount_claim = nullptr; // guarded by the state lock
} // namespace

int mount_claim_take(bool* taken_now) {
    *taken_now = false;
    if (g_mount_claim != nullptr) return 0;
    if (machine_lock_try(k_claim_name, &g_mount_claim) != 0) {
        g_mount_claim = nullptr;
        return -1;
    }
    *taken_now = true;
    return 0;
}

void mount_claim_drop() {
    if (g_mount_claim == nullptr) return;
    machine_lock_release(g_mount_claim);
    g_mount_claim = nullptr;
}
