// The unmount: cache written back, volume dismounted, device removed, initiator logged out,
// portal removed; run here in stages (elevated) or by one script behind one consent prompt.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "attach/attach.h"
#include "attach/mount_claim.h"
#include "attach/record.h"
#include "attach/scripts.h"
#include "attach/sequence.h"
#include "norvaled.h"
#include "platform/initiator.h"
#include "platform/storage.h"
#include "platform/sys.h"
#include "state/state.h"
#include "store/cache.h"

namespace {

constexpr int k_lock_attempts = 10;
constexpr uint32_t k_lock_retry_ms = 500;
constexpr uint32_t k_release_limit_ms = 40000;
constexpr int k_logout_checks = 10;
constexpr uint32_t k_check_interval_ms = 1500;
constexpr uint32_t k_portal_fallback_ms = 15000;
constexpr int k_final_checks = 3;
constexpr uint32_t k_helper_wait_ms = 900000;
constexpr std::size_t k_helper_body_size = 7168;
constexpr const char* k_release_tag = "release";

// How stage 3 left the session.
enum logout_outcome { logged_out = 1, gone_after_wait = 2, still_present = 3 };

struct flush_result {
    int rc = 0;
    unsigned dirty = 0;
};

// Writes the cache back and syncs the image, as any explicit flush does: the unmount is where a
// user expects the data to be safe. Before the first start and after a stop there is no cache
// to flush: -7 and nothing dirty then.
flush_result flush_cache() {
    if (!g_running.load()) return {NORVALED_E_STATE, 0};
    flush_result r;
    r.rc = bc_sync();
    r.dirty = bc_dirty_count();
    return r;
}

char letter_shown() {
    return g_mounted_letter != 0 ? g_mounted_letter : '-';
}

bool session_present() {
    return unmount_our_session_present(nullptr, 0) != 0;
}

// Stage 2: the volume dismounted and its letter removed, forcibly when it cannot be locked.
void dismount_volume(char letter) {
    char volume_path[16];
    std::snprintf(volume_path, sizeof volume_path, "\\\\.\\%c:", letter);
    unsigned long gle = 0;
    volume_t v = volume_open(letter, &gle);
    if (v == nullptr) {
        vk_mount_log("S2 open %s failed gle=%lu (continuing)", volume_path, gle);
        return;
    }
    volume_flush(v);
    bool locked = false;
    for (int i = 0; i < k_lock_attempts && !locked; ++i) {
        locked = volume_lock(v);
        if (!locked) sleep_ms(k_lock_retry_ms);
    }
    const bool dismounted = volume_dismount(v);
    volume_remove_mount_point(letter);
    if (locked) volume_unlock(v);
    volume_close(v);
    vk_mount_log("S2 lock=%d dismount=%d mntpoint removed", locked ? 1 : 0, dismounted ? 1 : 0);
}

// A file of a fixed name in the temporary directory made afresh, never one found there.
std::FILE* create_fresh(const std::string& path) {
    if (temp_dir().empty() || path.size() > k_max_path) return nullptr;
    std::remove(path.c_str());
    return file_create_private(path.c_str());
}

bool write_release_script(const std::string& path) {
    std::FILE* f = create_fresh(path);
    if (f == nullptr) return false;
    const std::size_t len = sizeof k_release_script - 1;
    const bool ok = std::fwrite(k_release_script, 1, len, f) == len;
    return std::fclose(f) == 0 && ok;
}

void log_release_output(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::size_t n = std::strlen(line);
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            line[--n] = 0;
        if (n > 0) vk_mount_log("%s | %s", k_release_tag, line);
    }
    std::fclose(f);
}

// Stage 3's device release: the release script under cmd, its output copied into the log.
void run_release_script() {
    const std::string dir = temp_dir();
    const std::string script = dir + "vknorvaled_" + k_release_tag + ".ps1";
    const std::string out = dir + "vknorvaled_" + k_release_tag + ".out";
    if (!write_release_script(script)) {
        std::remove(script.c_str());
        vk_mount_log("%s: cannot write %s", k_release_tag, script.c_str());
        return;
    }
    // The redirection then writes into this process's own empty file.
    std::FILE* made = create_fresh(out);
    if (made == nullptr) {
        std::remove(script.c_str());
        vk_mount_log("%s: cannot write %s", k_release_tag, out.c_str());
        return;
    }
    std::fclose(made);
    char cmd[1200 + 8];
    std::snprintf(cmd, sizeof cmd,
                  "cmd /c powershell -NoProfile -ExecutionPolicy Bypass -File \"%s\" > \"%s\" 2>&1",
                  script.c_str(), out.c_str());
    const int rc = run_hidden(cmd, k_release_limit_ms);
    log_release_output(out);
    std::remove(script.c_str());
    std::remove(out.c_str());
    vk_mount_log("%s rc=%d", k_release_tag, rc);
}

// Stage 3: device release and logout, forced and then native; how it ended.
logout_outcome release_and_log_out() {
    if (g_session_valid == 0 && !session_present()) return logged_out;
    vk_mount_log("S3 removing the NORVALED devnode (this is what releases the LUN)");
    run_release_script();
    unmount_logout_all_by_iqn();
    if (!session_present()) return logged_out;
    const uint32_t hr = initiator_logout(g_session_id);
    vk_mount_log("S3 native logout hr=0x%08lX", static_cast<unsigned long>(hr));
    if (hr == 0) return logged_out;
    g_unmount_stage = 4;
    for (int i = 0; i < k_logout_checks; ++i) {
        sleep_ms(k_check_interval_ms);
        if (!session_present()) return gone_after_wait;
    }
    return still_present;
}

void remove_portal() {
    const int port = g_port.load();
    if (initiator_remove_portal(k_loopback, static_cast<uint16_t>(port)) == 0) return;
    char cmd[512];
    std::snprintf(cmd, sizeof cmd, "iscsicli RemoveTargetPortal 127.0.0.1 %d", port);
    run_hidden(cmd, k_portal_fallback_ms);
}

int32_t unmount_elevated(uint64_t t0) {
    g_unmount_stage = 1;
    const flush_result flushed = flush_cache();
    vk_mount_log("S1 cache flush rc=%d dirty=%u letter=%c", flushed.rc, flushed.dirty,
                 letter_shown());

    g_unmount_stage = 2;
    if (g_mounted_letter != 0) dismount_volume(g_mounted_letter);

    g_unmount_stage = 3;
    const logout_outcome outcome = release_and_log_out();
    g_unmount_stage = 4;
    if (outcome != still_present) g_session_valid = 0;
    const int cleared = outcome != still_present ? 1 : 0;
    const int out = outcome == logged_out ? 1 : 0;
    vk_mount_log("S4 session cleared=%d logged_out=%d elapsed=%llums", cleared, out,
                 static_cast<unsigned long long>(tick_ms() - t0));

    g_unmount_stage = 5;
    remove_portal();

    g_unmount_stage = 6;
    int present = unmount_our_session_present(nullptr, 0);
    for (int i = 1; i < k_final_checks && present != 0; ++i) {
        sleep_ms(k_check_interval_ms);
        present = unmount_our_session_present(nullptr, 0);
    }
    const unsigned long long elapsed = tick_ms() - t0;
    vk_mount_log("done logged_out=%d session_present=%d devnode=%d elapsed=%llums", out, present,
                 find_our_disk(), elapsed);
    record_drive_gone();
    // An unreadable last listing proves nothing when the session was still there just before.
    // The disk is not gone then: the claim stays, so that no other process mounts over it.
    if (present == 1 || (present == -1 && outcome == still_present))
        return fail(NORVALED_E_UNMOUNT,
                    "unmount incomplete: the iSCSI session to %s is still logged in after 90 s "
                    "(is a file open on that drive?) — close it and retry",
                    NORVALED_TARGET_IQN);
    g_unmount_stage = 7;
    mount_claim_drop();
    return 0;
}

// The same work as one script behind one consent prompt; the state lock is let go for the
// helper's wait (up to 15 minutes) and taken again to record what came of it.
int32_t unmount_through_helper(state_hold& hold, bool claim_taken_now) {
    const flush_result flushed = flush_cache();
    const char shown = letter_shown();
    vk_mount_log("S1 (non-elevated) cache flush rc=%d dirty=%u letter=%c", flushed.rc,
                 flushed.dirty, shown);
    g_unmount_stage = 1;
    const char letter = g_mounted_letter;
    const int port = g_port.load();
    hold.unlock();

    std::unique_ptr<char[]> body(new (std::nothrow) char[k_helper_body_size]);
    if (!body) {
        hold.lock();
        if (claim_taken_now) mount_claim_drop();
        return fail(NORVALED_E_RESOURCE, "out of memory building the elevation helper");
    }
    std::snprintf(body.get(), k_helper_body_size, k_unmount_helper_script, NORVALED_TARGET_IQN,
                  letter != 0 ? 1 : 0, letter != 0 ? letter : '0', port);
    vk_mount_log("unmount: process is NOT elevated — starting the one-UAC helper (letter=%c)",
                 shown);
    std::string helper_reason; // the sequence's own text replaces it, set under the lock
    const int rc =
        norvaled_run_elevated_ps1("unmount", body.get(), k_helper_wait_ms, &helper_reason);
    body.reset();

    hold.lock();
    // Without a verdict the script never ran to its dismount: the volume is still there, and a
    // retry must still dismount it before the device under it goes.
    // The claim goes only with the disk, or when this call took it and nothing ran.
    const bool verdict = rc == 0 || rc == NORVALED_E_UNMOUNT;
    if (verdict) record_drive_gone();
    if (rc == 0 || (!verdict && claim_taken_now)) mount_claim_drop();
    if (rc == 0) {
        err_clear(); // calls of other threads during the wait may have left their texts
        g_session_valid = 0;
        g_unmount_stage = 7;
        vk_mount_log("unmount: elevated helper SUCCESS");
        return 0;
    }
    g_unmount_stage = 9;
    if (rc == NORVALED_E_UNMOUNT)
        return fail(NORVALED_E_UNMOUNT, "unmount incomplete: the iSCSI session is still logged in "
                                        "(close any open file and retry)");
    return fail(NORVALED_E_UNMOUNT,
                "unmount failed in the elevated helper (see vk_norvaled_mount.log)");
}

} // namespace

int32_t unmount_drive() {
    state_hold hold(state_lock());
    err_clear();
    attach_turn turn;
    if (!turn.taken()) return attach_turn_refused("unmount");
    const uint64_t t0 = tick_ms();
    // Another process's disk: its letter, session and device are not this process's to take.
    bool claim_taken_now = false;
    if (mount_claim_take_for("unmount", NORVALED_E_STATE, &claim_taken_now) != 0)
        return NORVALED_E_STATE;
    if (norvaled_is_process_elevated() != 0 && !force_uac_requested()) return unmount_elevated(t0);
    return unmount_through_helper(hold, claim_taken_now);
}
