// The attachment's shared services: the mount log, the hidden process runner, the elevation
// test, the disk finder, the elevation helper and the session inspection. None of them takes
// the state lock; each caller decides what it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The longest path of the attachment's files, as a 260-character buffer holds it: a longer
// one is an error, never a cut (and so different) path.
constexpr std::size_t k_max_path = 259;

// Appends one time-stamped line to vk_norvaled_mount.log; lines of concurrent callers never
// interleave. A log that cannot be opened loses the line silently.
void vk_mount_log(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Runs a command line as a hidden child within limit_ms: its exit code, 1 when the limit ran
// out (the child and what it started are ended), -1 when no child could be started or the
// command is longer than 1023 characters (the last-error text then says why).
int run_hidden(const char* cmdline, uint32_t limit_ms);

// 1 when the process is elevated, else 0.
int norvaled_is_process_elevated();

// The drive number 0..31 of the library's own disk, -1 when none is attached.
int find_our_disk();
// Whether a drive's SCSI vendor and product are the ones the library's target reports.
bool has_our_identity(const std::string& vendor, const std::string& product);

// Runs a PowerShell body elevated through one consent prompt and waits at most wait_ms: the
// script's RC verdict; -2 when the prompt was declined; -1 on any other failure. The failure's
// text goes to *reason when given (a caller without the state lock), else to the last-error text.
int norvaled_run_elevated_ps1(const char* tag, const char* body, uint32_t wait_ms,
                              std::string* reason = nullptr);

// Lists the initiator's sessions: 1 when a session names the target IQN, 0 when none does,
// -1 when there is no usable listing. id (capacity cap, or null and 0) receives the identifier
// of the last session to the target.
int unmount_our_session_present(char* id, std::size_t cap);
// Logs out at most two sessions to the target IQN, one per attempt.
void unmount_logout_all_by_iqn();

// The mount and the unmount, each under the state lock (let go around the one-prompt
// helper's wait), with the last-error text emptied first: 0 or a NORVALED_E_* code.
int32_t mount_drive(char letter, int32_t allow_format);
int32_t unmount_drive();

// Whether "VK_NORVALED_FORCE_UAC" sends an elevated process down the non-elevated path.
bool force_uac_requested();
