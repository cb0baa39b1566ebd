// The mount log: one appended text file that every step of a mount or an unmount writes to,
// the user's record after a failure.
#include "attach/attach.h"

#include "platform/proc.h"
#include "platform/sys.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

constexpr char k_log_name[] = "vk_norvaled_mount.log";

std::once_flag g_log_path_once;
std::string g_log_path; // empty when no path fits: nothing is logged
std::mutex g_log_lock;  // one line at a time, so lines of concurrent callers never interleave
std::FILE* g_log_file = nullptr;

// The base directory: "PUBLIC" when it is usable, else the temporary directory.
std::string public_base() {
    std::string pub;
    if (!env_get("PUBLIC", pub) || pub.empty() || pub.size() > k_max_path) return {};
    if (pub.back() != '\\' && pub.back() != '/') pub += dir_separator();
    return pub;
}

// A path that does not fit is never cut (that would log into some other file): it falls
// back to the temporary directory, and when that does not fit either, nothing is logged.
void compute_log_path() {
    for (const std::string& base : {public_base(), temp_dir()}) {
        if (base.empty()) continue;
        std::string path = base + k_log_name;
        if (path.size() <= k_max_path) {
            g_log_path = path;
            return;
        }
    }
}

} // namespace

void vk_mount_log(const char* fmt, ...) {
    std::call_once(g_log_path_once, compute_log_path);
    if (g_log_path.empty()) return;
    std::lock_guard<std::mutex> hold(g_log_lock);
    // The directory is one every local user can write: a link planted at the log's name must
    // not make this process append to (or create) some other file.
    if (g_log_file == nullptr) g_log_file = file_open_append_no_link(g_log_path.c_str());
    if (g_log_file == nullptr) return; // lost silently; the next line tries again
    local_time_of_day t = local_time_now();
    std::fprintf(g_log_file, "[%02d:%02d:%02d.%03d pid=%lu] ", t.hour, t.minute, t.second,
                 t.millisecond, proc_current_pid());
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(g_log_file, fmt, ap);
    va_end(ap);
    std::fputc('\n', g_log_file);
    std::fflush(g_log_file);
}
