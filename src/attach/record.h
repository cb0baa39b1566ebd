// The attachment's record: what the last mount and unmount left behind, read by the next
// unmount and by the statistics. Written under the state lock.
#pragma once

#include <cstdint>

#include "platform/initiator.h"

extern char g_mounted_letter;   // the mounted drive letter, 0 when none
extern int32_t g_session_valid; // g_session_id is the session of a native login
extern iscsi_session_id g_session_id;
extern int32_t g_unmount_stage;        // how far the last unmount got
extern int32_t g_svc_state_mode;       // how the last mount reached the initiator service
extern int32_t g_last_mount_formatted; // -1 before the first mount

// Records the session a login left: valid when the native login made it.
void record_login(const iscsi_session_id& session, bool valid);
// Records a mount that succeeded at letter, and whether it formatted the disk.
void record_mount(char letter, int32_t formatted);
// Records that no drive letter is this process's any more.
void record_drive_gone();

// The statistics' view of the record.
struct attach_results {
    int32_t svc_state_mode;
    int32_t last_mount_formatted;
    int32_t unmount_stage;
};
attach_results attach_results_now();
