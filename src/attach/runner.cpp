// The hidden process runner: every command-line tool the attachment starts itself runs
// through here, windowless, with a time limit, and leaves one line in the mount log.
#include "attach/attach.h"

#include "platform/proc.h"
#include "state/state.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr std::size_t k_max_cmdline = 1023;
}

int run_hidden(const char* cmdline, uint32_t limit_ms) {
    // A cut command line would run a different command (a cut path or identifier).
    if (std::strlen(cmdline) > k_max_cmdline) {
        vk_mount_log("command line too long (%lu characters), not run: %s",
                     static_cast<unsigned long>(std::strlen(cmdline)), cmdline);
        err_set("command line too long");
        return -1;
    }
    child_run run;
    unsigned long sys_error = 0;
    if (proc_run_hidden(cmdline, limit_ms, &run, &sys_error) != 0) {
        vk_mount_log("CreateProcess FAILED gle=%lu cmd=%s", sys_error, cmdline);
        char number[64];
        std::snprintf(number, sizeof number, "%lu", sys_error);
        err_set("child spawn failed (gle=%s) -- admin required for diskpart", number);
        return -1;
    }
    vk_mount_log("child done wr=%lu exit=%lu cmd=%s", static_cast<unsigned long>(run.wait_result),
                 static_cast<unsigned long>(run.exit_code), cmdline);
    return static_cast<int>(run.exit_code);
}
