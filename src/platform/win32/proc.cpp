// Child processes, elevation and the process identity on Windows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <shellapi.h>

#include "platform/proc.h"

#include <cctype>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

namespace {

constexpr char k_no_cwd_search[] = "NoDefaultCurrentDirectoryInExePath=1";

std::string system_directory() {
    char buf[MAX_PATH + 1] = {};
    UINT n = GetSystemDirectoryA(buf, sizeof buf);
    return n == 0 || n >= sizeof buf ? std::string() : std::string(buf, n);
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The tools the attachment starts run from the system directory by full path: a bare name
// would be searched in the application's and the current directory first, where a planted
// program of that name would run with the caller's (administrator) rights.
std::string system_tool_path(const char* cmdline) {
    const char* p = cmdline;
    while (*p == ' ' || *p == '\t')
        ++p;
    std::size_t n = std::strcspn(p, " \t");
    std::string word = lower(std::string(p, n));
    if (word.size() > 4 && word.compare(word.size() - 4, 4, ".exe") == 0)
        word.resize(word.size() - 4);
    const char* relative = word == "cmd"          ? "cmd.exe"
                           : word == "iscsicli"   ? "iscsicli.exe"
                           : word == "diskpart"   ? "diskpart.exe"
                           : word == "powershell" ? "WindowsPowerShell\\v1.0\\powershell.exe"
                                                  : nullptr;
    std::string sys = system_directory();
    if (relative == nullptr || sys.empty()) return {};
    return sys + "\\" + relative;
}

// Whether the entry's name is NoDefaultCurrentDirectoryInExePath, in any case.
bool is_no_cwd_entry(const wchar_t* entry) {
    const std::size_t key_len = std::strlen(k_no_cwd_search) - 1; // up to and with '='
    for (std::size_t i = 0; i < key_len; ++i) {
        wchar_t c = entry[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        const char k =
            static_cast<char>(std::tolower(static_cast<unsigned char>(k_no_cwd_search[i])));
        if (c != static_cast<wchar_t>(k)) return false;
    }
    return true;
}

// The caller's environment plus NoDefaultCurrentDirectoryInExePath=1, so that "cmd /c tool"
// does not look for the tool in the current directory either. In UTF-16: the ANSI block would
// lose every character outside the code page.
std::wstring child_environment() {
    std::wstring block;
    wchar_t* env = GetEnvironmentStringsW();
    if (env != nullptr) {
        for (const wchar_t* e = env; *e != 0; e += std::wcslen(e) + 1)
            if (!is_no_cwd_entry(e)) block.append(e, std::wcslen(e) + 1);
        FreeEnvironmentStringsW(env);
    }
    for (const char* c = k_no_cwd_search; *c != 0; ++c)
        block.push_back(static_cast<wchar_t>(*c));
    block.push_back(0);
    block.push_back(0);
    return block;
}

// TerminateJobObject and TerminateProcess only start the end: until the processes are gone
// they still hold their files (the list file a caller deletes next). Bounded, as every wait.
constexpr DWORD k_end_wait_ms = 10000;
constexpr DWORD k_end_poll_ms = 10;

DWORD job_active_processes(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                   nullptr))
        return 0; // nothing to wait for that can be seen
    return info.ActiveProcesses;
}

// Ends the child, and with it everything in its job, and waits until they are gone.
void end_child(HANDLE process, HANDLE job, bool in_job) {
    if (!in_job) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, k_end_wait_ms);
        return;
    }
    TerminateJobObject(job, 1);
    const ULONGLONG deadline = GetTickCount64() + k_end_wait_ms;
    while (job_active_processes(job) > 0 && GetTickCount64() < deadline)
        Sleep(k_end_poll_ms);
}

} // namespace

int proc_run_hidden(const char* cmdline, uint32_t limit_ms, child_run* run,
                    unsigned long* sys_error) {
    char buf[1024] = {};
    std::strncpy(buf, cmdline, sizeof buf - 1);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    std::string app = system_tool_path(cmdline);
    std::string sys = system_directory();
    std::wstring env = child_environment();
    // Suspended until it sits in the job: then nothing it starts can escape the time limit.
    if (!CreateProcessA(app.empty() ? nullptr : app.c_str(), buf, nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                        env.data(), sys.empty() ? nullptr : sys.c_str(), &si, &pi)) {
        *sys_error = GetLastError();
        return -1;
    }
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    bool in_job = job != nullptr && AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    run->wait_result = WaitForSingleObject(pi.hProcess, limit_ms);
    run->exit_code = 1;
    if (run->wait_result != WAIT_OBJECT_0) {
        end_child(pi.hProcess, job, in_job);
    } else {
        DWORD code = 1;
        if (GetExitCodeProcess(pi.hProcess, &code)) run->exit_code = code;
    }
    if (job != nullptr) CloseHandle(job);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return 0;
}

int proc_is_elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
    TOKEN_ELEVATION elevation{};
    DWORD got = 0;
    int result = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got) &&
                         elevation.TokenIsElevated != 0
                     ? 1
                     : 0;
    CloseHandle(token);
    return result;
}

struct plat_elevated {
    HANDLE process;
};

int proc_start_elevated_powershell(const char* params, elevated_t* child,
                                   unsigned long* sys_error) {
    std::string file = system_tool_path("powershell");
    if (file.empty()) {
        *sys_error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "runas";
    info.lpFile = file.c_str();
    info.lpParameters = params;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExA(&info)) {
        *sys_error = GetLastError();
        return -1;
    }
    *child = new (std::nothrow) plat_elevated{info.hProcess};
    if (*child == nullptr) {
        if (info.hProcess != nullptr) CloseHandle(info.hProcess);
        *sys_error = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    return 0;
}

uint32_t proc_wait_elevated(elevated_t child, uint32_t ms) {
    if (child == nullptr || child->process == nullptr) return WAIT_FAILED;
    return WaitForSingleObject(child->process, ms);
}

void proc_release_elevated(elevated_t child) {
    if (child == nullptr) return;
    if (child->process != nullptr) CloseHandle(child->process);
    delete child;
}

unsigned long proc_current_pid() {
    return GetCurrentProcessId();
}

local_time_of_day local_time_now() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    local_time_of_day t;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

struct plat_machine_lock {
    HANDLE semaphore;
};

// A semaphore of one, not a mutex: a mutex belongs to the thread that took it and cannot be
// released from another (a host may unmount on another thread than it mounted on), so it would
// stay taken until its last handle closed. The object lives while a handle to it is open, so a
// holder that ends frees it with its handles; a second taker, here or in another process,
// finds the count at zero.
int machine_lock_try(const char* name, machine_lock_t* out) {
    const std::string full = std::string("Global\\") + name;
    HANDLE s = CreateSemaphoreA(nullptr, 1, 1, full.c_str());
    if (s == nullptr) return -1;
    if (WaitForSingleObject(s, 0) != WAIT_OBJECT_0) {
        CloseHandle(s);
        return -1;
    }
    *out = new (std::nothrow) plat_machine_lock{s};
    if (*out == nullptr) {
        ReleaseSemaphore(s, 1, nullptr);
        CloseHandle(s);
        return -1;
    }
    return 0;
}

void machine_lock_release(machine_lock_t lock) {
    if (lock == nullptr) return;
    ReleaseSemaphore(lock->semaphore, 1, nullptr);
    CloseHandle(lock->semaphore);
    delete lock;
}

std::string machine_lock_holder(const char*) {
    return {};
}
