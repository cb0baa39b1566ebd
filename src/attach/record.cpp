#include "attach/record.h"

char g_mounted_letter = 0;
int32_t g_session_valid = 0;
iscsi_session_id g_session_id{};
int32_t g_unmount_stage = 0;
int32_t g_svc_state_mode = 0;
int32_t g_last_mount_formatted = -1;

void record_login(const iscsi_session_id& session, bool valid) {
    g_session_id = session;
    g_session_valid = valid ? 1 : 0;
}

void record_mount(char letter, int32_t formatted) {
    g_mounted_letter = letter;
    g_last_mount_formatted = formatted;
}

void record_drive_gone() {
    g_mounted_letter = 0;
}

attach_results attach_results_now() {
    return {g_svc_state_mode, g_last_mount_formatted, g_unmount_stage};
}
