// The mount: the served disk as a drive letter, either driven here (elevated) or by one
// PowerShell script behind one consent prompt.
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
#include "store/disk_probe.h"

namespace {

constexpr int k_service_polls = 40;
constexpr uint32_t k_service_poll_ms = 250;
constexpr int k_disk_tries = 30;
constexpr uint32_t k_disk_try_ms = 500;
constexpr uint32_t k_qlogin_limit_ms = 20000;
constexpr uint32_t k_diskpart_limit_ms = 300000;
constexpr uint32_t k_helper_wait_ms = 600000;
constexpr std::size_t k_helper_body_size = 9216;

constexpr const char* k_not_running = "target not running — call norvaled_start first";
constexpr const char* k_blank_image = "disk image is blank and must be formatted (NTFS) before "
                                      "first use — confirm to continue";
constexpr const char* k_foreign_image =
    "disk image holds unrecognised data — formatting will ERASE it; confirm to continue";

// What the common start settled for either path.
struct mount_plan {
    char letter = 0;
    int has_data = 0;  // the image's data stays
    int formatted = 0; // the image gets (re)formatted
    bool claim_taken_now = false;
};

// Gives up a claim this call took, so that a failed mount does not keep others out.
int32_t fail_mount(const mount_plan& plan, int32_t code, const char* text) {
    if (plan.claim_taken_now) mount_claim_drop();
    return fail(code, "%s", text);
}

// diskpart cannot give a letter that another volume holds, and the helper script would take that
// volume for ours: the next unmount would then dismount it. Two holders are ours to take over:
// this mount's own volume, and a volume on a disk of our identity that a crashed process left
// (the stale-session sweep clears it). 0, or -5 with the claim given back.
int32_t refuse_letter_in_use(const mount_plan& plan) {
    std::string vendor, product;
    if (plan.letter == g_mounted_letter || volume_letter_taken(plan.letter, vendor, product) == 0 ||
        has_our_identity(vendor, product))
        return 0;
    vk_mount_log("mount: drive letter %c: names another volume (vendor='%s' product='%s'); not "
                 "touching it",
                 plan.letter, vendor.c_str(), product.c_str());
    if (plan.claim_taken_now) mount_claim_drop();
    return fail(NORVALED_E_ARG, "drive letter %c: is already in use", plan.letter);
}

// Finds MSiSCSI and has it running: opened for query and start, started and polled when
// stopped; or opened for query alone and merely asked. Records how far it got.
bool initiator_service_ready() {
    g_svc_state_mode = 0;
    if (service_t svc = initiator_service_open(service_access::query_and_start)) {
        g_svc_state_mode = 2;
        bool up = initiator_service_running(svc) == 1;
        if (!up) {
            initiator_service_start(svc);
            for (int i = 0; i < k_service_polls && !up; ++i) {
                sleep_ms(k_service_poll_ms);
                up = initiator_service_running(svc) == 1;
            }
        }
        initiator_service_close(svc);
        return up;
    }
    service_t svc = initiator_service_open(service_access::query);
    if (svc == nullptr) return false;
    g_svc_state_mode = 1;
    const bool up = initiator_service_running(svc) == 1;
    initiator_service_close(svc);
    return up;
}

// The native login, with iscsicli as the fallback; a failure here is not yet an error: the
// disk wait decides.
void log_in_to_target(uint16_t port) {
    iscsi_session_id session{};
    const uint32_t hr = initiator_login(NORVALED_TARGET_IQN, k_loopback, port, &session);
    record_login(session, hr == 0);
    vk_mount_log("LoginIScsiTargetA hr=0x%08lX", static_cast<unsigned long>(hr));
    if (hr == 0) return;
    if (hr == k_isdsc_target_already_logged_in) return;
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "iscsicli QLoginTarget %s", NORVALED_TARGET_IQN);
    run_hidden(cmd, k_qlogin_limit_ms);
}

// The drive number of the attached disk, or -1 when it did not show up in about 15 s.
int wait_for_disk() {
    for (int i = 0; i < k_disk_tries; ++i) {
        const int drive = find_our_disk();
        if (drive >= 0) return drive;
        if (i % 10 == 0) vk_mount_log("waiting for disk (i=%d)", i);
        sleep_ms(k_disk_try_ms);
    }
    return -1;
}

// Writes the diskpart script for the drive into a file of that name made afresh (never an
// existing file: it runs with administrator rights). 0, or -1 when it cannot be written whole.
int write_diskpart_script(const std::string& path, int drive, const mount_plan& plan) {
    if (temp_dir().empty() || path.size() > k_max_path) return -1;
    std::remove(path.c_str());
    std::FILE* f = file_create_private(path.c_str(), file_mode::text);
    if (f == nullptr) return -1;
    vk_mount_log("disk %d has_data=%d", drive, plan.has_data);
    bool ok = std::fprintf(f, plan.has_data ? k_diskpart_keep_data : k_diskpart_format, drive,
                           plan.letter) > 0;
    ok = std::fclose(f) == 0 && ok;
    // A cut script could stop right after "clean": better no script at all.
    if (!ok) std::remove(path.c_str());
    return ok ? 0 : -1;
}

int32_t mount_elevated(const mount_plan& plan) {
    if (!initiator_service_ready())
        return fail_mount(plan, NORVALED_E_MOUNT, "MSiSCSI service not running (admin required)");
    const uint16_t port = static_cast<uint16_t>(g_port.load());
    unmount_logout_all_by_iqn();
    vk_mount_log("stale-session sweep done (iqn=%s)", NORVALED_TARGET_IQN);
    initiator_add_portal(k_loopback, port);
    log_in_to_target(port);

    const int drive = wait_for_disk();
    if (drive < 0)
        return fail_mount(plan, NORVALED_E_MOUNT, "disk did not appear after iSCSI login");
    const std::string script = temp_dir() + "vknorvaled_dp.txt";
    if (write_diskpart_script(script, drive, plan) != 0)
        return fail_mount(plan, NORVALED_E_MOUNT, "cannot write diskpart script");
    char cmd[k_max_path + 17];
    std::snprintf(cmd, sizeof cmd, "diskpart /s \"%s\"", script.c_str());
    const int rc = run_hidden(cmd, k_diskpart_limit_ms);
    vk_mount_log("diskpart rc=%d script=%s", rc, script.c_str());
    if (rc != 0)
        return fail_mount(plan, NORVALED_E_MOUNT, "diskpart format/assign failed (admin required)");
    record_mount(plan.letter, plan.formatted);
    return 0;
}

// The same work as one script behind one consent prompt. The state lock is let go for the
// helper's wait (up to 10 minutes) and taken again to record what came of it.
int32_t mount_through_helper(const mount_plan& plan, state_hold& hold) {
    const int port = g_port.load();
    hold.unlock();
    std::unique_ptr<char[]> body(new (std::nothrow) char[k_helper_body_size]);
    const bool built = body != nullptr;
    int rc = -1;
    std::string helper_reason; // the sequence's own text replaces it, set under the lock
    if (built) {
        std::snprintf(body.get(), k_helper_body_size, k_mount_helper_script, NORVALED_TARGET_IQN,
                      plan.letter, plan.has_data, port, port);
        vk_mount_log("mount: process is NOT elevated — starting the one-UAC helper (letter=%c "
                     "has_data=%d)",
                     plan.letter, plan.has_data);
        rc = norvaled_run_elevated_ps1("mount", body.get(), k_helper_wait_ms, &helper_reason);
        body.reset();
    }
    hold.lock();
    if (!built)
        return fail_mount(plan, NORVALED_E_RESOURCE, "out of memory building the elevation helper");
    if (rc != 0)
        return fail_mount(plan, NORVALED_E_MOUNT,
                          "mount failed in the elevated helper (see vk_norvaled_mount.log)");
    err_clear(); // calls of other threads during the wait may have left their texts
    record_mount(plan.letter, plan.formatted);
    g_session_valid = 0;
    vk_mount_log("mount: elevated helper SUCCESS letter=%c", plan.letter);
    return 0;
}

} // namespace

int32_t mount_drive(char letter, int32_t allow_format) {
    state_hold hold(state_lock());
    err_clear();
    attach_turn turn;
    if (!turn.taken()) return attach_turn_refused("mount");
    if (!g_running.load()) return fail(NORVALED_E_STATE, "%s", k_not_running);
    const int32_t content = bc_disk_state();
    vk_mount_log("disk_state=%d allow_format=%d", static_cast<int>(content),
                 static_cast<int>(allow_format));
    if (content < 0) return content; // never a format on a disk that could not be read
    if (allow_format == 0 && content != NORVALED_DISK_RECOGNISED)
        return fail(NORVALED_E_CONSENT, "%s",
                    content == NORVALED_DISK_BLANK ? k_blank_image : k_foreign_image);

    mount_plan plan;
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') return fail(NORVALED_E_ARG, "invalid drive letter");
    plan.letter = letter;
    plan.has_data = content == NORVALED_DISK_RECOGNISED ? 1 : 0;
    plan.formatted = 1 - plan.has_data;

    if (mount_claim_take_for("mount", NORVALED_E_MOUNT, &plan.claim_taken_now) != 0)
        return NORVALED_E_MOUNT;
    if (refuse_letter_in_use(plan) != 0) return NORVALED_E_ARG;
    if (norvaled_is_process_elevated() != 0 && !force_uac_requested()) return mount_elevated(plan);
    return mount_through_helper(plan, hold);
}
