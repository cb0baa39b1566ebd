// The elevation helper: one PowerShell run through one consent prompt, its verdict read back
// from a result file that the script appends to.
#include "attach/attach.h"

#include "attach/parse.h"
#include "attach/scripts.h"
#include "platform/proc.h"
#include "platform/sys.h"
#include "state/state.h"

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr unsigned long k_error_cancelled = 1223;

// Numbers the runs of this process: an elevated script that outlived its wait may still
// append "RC=0" to its result file, which must never be the file of a later run.
std::atomic<unsigned> g_elev_run{0};

struct helper_files {
    std::string script, result;
};

// Both files go into the user's own temporary directory: the script runs with administrator
// rights and the result decides the verdict, so no other user may change either.
bool form_paths(const char* tag, helper_files* files) {
    std::string dir = temp_dir();
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/'))
        dir.pop_back();
    char name[128];
    std::snprintf(name, sizeof name, "vk_norvaled_elev_%s_%lu_%u", tag, proc_current_pid(),
                  ++g_elev_run);
    std::string base = dir + dir_separator() + name;
    files->script = base + ".ps1";
    files->result = base + ".out";
    return files->script.size() <= k_max_path && std::strlen(name) + 1 < sizeof name;
}

// The result path as a single-quoted PowerShell string. PowerShell ends such a string at ' and
// at the typographic quotes U+2018 to U+201B alike: each is doubled. On characters, not bytes:
// in a double-byte code page those bytes can be part of another character.
bool ps_quoted(const std::string& s, std::string& out) {
    std::u16string text, doubled;
    if (!text_to_utf16(s, text)) return false;
    for (char16_t c : text) {
        doubled += c;
        if (c == u'\'' || (c >= u'\u2018' && c <= u'\u201B')) doubled += c;
    }
    return text_from_utf16(doubled, out);
}

bool write_script(const helper_files& files, const char* body) {
    std::string quoted;
    if (!ps_quoted(files.result, quoted)) return false;
    std::remove(files.script.c_str()); // a stale file of this name is never reused
    std::FILE* f = file_create_private(files.script.c_str());
    if (f == nullptr) return false;
    bool ok = std::fprintf(f, k_elev_frame_result_line, quoted.c_str()) > 0;
    ok = ok && std::fputs(k_elev_frame_log_function, f) >= 0;
    ok = ok && std::fwrite(body, 1, std::strlen(body), f) == std::strlen(body);
    ok = (std::fclose(f) == 0) && ok;
    // A script cut short must not run elevated.
    if (!ok) std::remove(files.script.c_str());
    return ok;
}

// "RC=" and a decimal number: blanks, an optional sign, at least one digit.
bool parse_rc(const char* line, int* verdict) {
    if (std::strncmp(line, "RC=", 3) != 0) return false;
    const char* p = line + 3;
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long long v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
        if (v <= INT_MAX) v = v * 10 + (*p - '0');
    if (negative) v = -v;
    *verdict = static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
    return true;
}

// The failure's text goes to *reason when the caller asked for it (it runs without the state
// lock and sets its own text under it), else into the last-error text.
int helper_failed(int code, std::string* reason, const std::string& text) {
    if (reason != nullptr)
        *reason = text;
    else
        err_set("%s", text.c_str());
    return code;
}

int start_failed(const char* tag, const helper_files& files, unsigned long sys_error,
                 std::string* reason) {
    std::remove(files.script.c_str());
    if (sys_error == k_error_cancelled) {
        vk_mount_log("elev %s: UAC declined by the user", tag);
        return helper_failed(-2, reason, "Administrator permission was declined (UAC cancelled)");
    }
    vk_mount_log("elev %s: ShellExecuteEx failed gle=%lu", tag, sys_error);
    return helper_failed(
        -1, reason, "could not start the elevation helper (gle=" + std::to_string(sys_error) + ")");
}

} // namespace

bool read_elevation_result(std::FILE* result, const char* tag, int* verdict) {
    bool seen = false;
    char line[512];
    while (std::fgets(line, sizeof line, result) != nullptr) {
        std::size_t n = std::strlen(line);
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            line[--n] = 0;
        if (n == 0) continue;
        vk_mount_log("elev %s | %s", tag, line);
        if (parse_rc(line, verdict)) seen = true;
    }
    return seen;
}

int norvaled_run_elevated_ps1(const char* tag, const char* body, uint32_t wait_ms,
                              std::string* reason) {
    if (temp_dir().empty()) {
        vk_mount_log("elev %s: cannot find the user's temporary directory", tag);
        return helper_failed(-1, reason, "cannot find the user's temporary directory");
    }
    helper_files files;
    bool paths_fit = form_paths(tag, &files);
    if (paths_fit) std::remove(files.result.c_str());
    if (!paths_fit || !write_script(files, body)) {
        vk_mount_log("elev %s: cannot write %s", tag, files.script.c_str());
        return helper_failed(-1, reason, "cannot write the elevation helper script");
    }

    char params[520];
    std::snprintf(params, sizeof params,
                  "-NoProfile -NonInteractive -ExecutionPolicy Bypass -WindowStyle Hidden -File "
                  "\"%s\"",
                  files.script.c_str());
    vk_mount_log("elev %s: requesting one UAC prompt", tag);
    elevated_t child = nullptr;
    unsigned long sys_error = 0;
    if (proc_start_elevated_powershell(params, &child, &sys_error) != 0)
        return start_failed(tag, files, sys_error, reason);

    // The elevated run is never ended: if it outlives the wait, it goes on alone.
    uint32_t wait_result = proc_wait_elevated(child, wait_ms);
    proc_release_elevated(child);

    int verdict = -1;
    bool seen = false;
    if (std::FILE* f = std::fopen(files.result.c_str(), "r")) {
        seen = read_elevation_result(f, tag, &verdict);
        std::fclose(f);
    }
    std::remove(files.script.c_str());
    std::remove(files.result.c_str());
    if (wait_result == 0 && seen) return verdict;
    vk_mount_log("elev %s: no verdict (wait=%lu got=%d)", tag,
                 static_cast<unsigned long>(wait_result), seen ? 1 : 0);
    return helper_failed(-1, reason, "the elevated helper did not report a result");
}
