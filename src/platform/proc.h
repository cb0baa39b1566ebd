// Child processes, elevation, the process identity and the local clock: what the attachment's
// runner, elevation helper and mount log need from the operating system.
#pragma once

#include <cstdint>
#include <string>

// The outcome of one hidden child run.
struct child_run {
    uint32_t wait_result =
        0;                  // 0 exited within the limit, 258 limit ran out, 0xFFFFFFFF wait failed
    uint32_t exit_code = 1; // the child's exit code; 1 when it was ended at the limit
};

// Runs one command line as a windowless child that inherits no handles, with the system
// directory as its current directory; waits at most limit_ms, and ends the child together with
// every process it started when the limit runs out. 0 and *run filled, or -1 with the system
// error number in *sys_error when no child could be started (2 when the program is not found).
int proc_run_hidden(const char* cmdline, uint32_t limit_ms, child_run* run,
                    unsigned long* sys_error);

// 1 when the process holds an elevated (administrator) token, 0 when not or not determinable.
int proc_is_elevated();

// Starts PowerShell elevated ("runas", one consent prompt) with the given parameters, hidden.
// 0 and a waitable handle in *child, or -1 with the system error number (1223 when the user
// declined the prompt).
struct plat_elevated;
using elevated_t = plat_elevated*;
int proc_start_elevated_powershell(const char* params, elevated_t* child, unsigned long* sys_error);
// Waits at most ms for the elevated process; 0 when it ended, 258 on time-out, 0xFFFFFFFF when
// the wait failed. Never ends the process.
uint32_t proc_wait_elevated(elevated_t child, uint32_t ms);
void proc_release_elevated(elevated_t child);

unsigned long proc_current_pid();

// Local wall-clock time of day, for log prefixes.
struct local_time_of_day {
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};
local_time_of_day local_time_now();

// A lock held across processes of this machine, by name; released by machine_lock_release
// (on any thread) or when the process ends. 0 when taken, -1 when another process or another
// taker in this process holds it, or it cannot be made.
struct plat_machine_lock;
using machine_lock_t = plat_machine_lock*;
int machine_lock_try(const char* name, machine_lock_t* out);
void machine_lock_release(machine_lock_t lock);
// Who holds the lock, for a log line ("pid 1234 (norvaled)"); empty when the platform cannot
// tell (Windows: any user may hold the named semaphore, and it names nobody).
std::string machine_lock_holder(const char* name);
