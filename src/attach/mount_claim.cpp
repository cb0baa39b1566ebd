#include "attach/mount_claim.h"

#include "attach/attach.h"
#include "norvaled.h"
#include "platform/proc.h"
#include "state/state.h"

#include <string>

namespace {
constexpr const char* k_claim_name = "norvaled-mounted-disk";
machine_lock_t g_mount_claim = nullptr; // guarded by the state lock
bool g_attach_busy = false;             // a mount or unmount runs; guarded by the state lock
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

int32_t mount_claim_take_for(const char* op, int32_t code, bool* taken_now) {
    if (mount_claim_take(taken_now) == 0) return 0;
    // Any local user may hold the lock; the log names the holder where the system tells.
    const std::string holder = machine_lock_holder(k_claim_name);
    const std::string by = holder.empty() ? "" : " (" + holder + ")";
    vk_mount_log("%s: another process holds the machine-wide norvaled mount lock%s; not touching "
                 "its disk",
                 op, by.c_str());
    return fail(code, "another process has a norvaled disk mounted (see vk_norvaled_mount.log)");
}

attach_turn::attach_turn() {
    if (g_attach_busy) return;
    g_attach_busy = true;
    taken_ = true;
}

attach_turn::~attach_turn() {
    if (taken_) g_attach_busy = false;
}

int32_t attach_turn_refused(const char* op) {
    vk_mount_log("%s: another mount or unmount is in progress in this process", op);
    return fail(NORVALED_E_STATE, "another mount or unmount is in progress");
}
