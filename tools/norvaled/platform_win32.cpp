#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <windows.h>

#include "interrupt.h"

namespace {

HANDLE g_shutdown_done = nullptr;

bool ends_the_process(DWORD type) {
    return type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
}

// Runs on a thread of its own that Windows starts for each console event.
BOOL WINAPI on_console_event(DWORD type) {
    interrupt_arrived();
    // Windows ends the process as soon as this returns from a close, logoff or shutdown
    // event; waiting here gives the write-back the few seconds Windows allows.
    if (ends_the_process(type) && g_shutdown_done != nullptr)
        WaitForSingleObject(g_shutdown_done, INFINITE);
    return TRUE;
}

} // namespace

void platform_init() {
    g_shutdown_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleOutputCP(CP_UTF8); // the library's messages are UTF-8
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_write_stderr(const char* text, std::size_t len) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(len), &written, nullptr);
}

bool platform_stdout_is_terminal() {
    return _isatty(_fileno(stdout)) != 0;
}

int platform_set_env(const char* name, const char* value) {
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

void platform_shutdown_finished() {
    if (g_shutdown_done != nullptr) SetEvent(g_shutdown_done);
}

namespace {

struct console_handle {
    HANDLE h;
    explicit console_handle(const char* name)
        : h(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~console_handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    console_handle(const console_handle&) = delete;
    console_handle& operator=(const console_handle&) = delete;
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

std::string env_text(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

bool platform_has_terminal() {
    const console_handle in("CONIN$");
    DWORD mode = 0;
    return in.ok() && GetConsoleMode(in.h, &mode) != 0;
}

bool platform_prompt(const std::string& prompt, bool echo, std::string& answer) {
    const console_handle in("CONIN$");
    const console_handle out("CONOUT$");
    DWORD mode = 0;
    if (!in.ok() || !out.ok() || GetConsoleMode(in.h, &mode) == 0) return false;
    DWORD written = 0;
    WriteFile(out.h, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
    if (!echo) SetConsoleMode(in.h, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    answer.clear();
    bool got_line = false;
    char c = 0;
    DWORD n = 0;
    while (ReadFile(in.h, &c, 1, &n, nullptr) != 0 && n == 1) {
        if (c == '\n') {
            got_line = true;
            break;
        }
        if (c != '\r') answer += c;
    }
    if (!echo) {
        SetConsoleMode(in.h, mode);
        WriteFile(out.h, "\r\n", 2, &written, nullptr);
    }
    return got_line;
}

std::string platform_user_name() {
    return env_text("USERNAME");
}

std::string platform_home_dir() {
    const std::string home = env_text("HOME");
    return home.empty() ? env_text("USERPROFILE") : home;
}
