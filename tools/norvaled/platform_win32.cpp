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
