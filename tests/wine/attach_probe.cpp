// Drives the attachment's services under Wine for scripts/test-windows.sh; prints one line.
// "--public DIR" first sets PUBLIC inside the process (Wine replaces the Unix value); then any
// number of "--set NAME=VALUE" set other variables the same way.
//   attach_probe elevated               the export, through norvaled.dll
//   attach_probe run LIMIT_MS CMDLINE   run_hidden
//   attach_probe elev TAG WAIT_MS FILE  the elevation helper with the body in FILE
//   attach_probe initiator              the disk finder, MSiSCSI and the discovery login
//   attach_probe hold FILE              creates FILE unshared and keeps it open for 10 minutes
//   attach_probe outlive FILE           run_hidden of "cmd /c <this probe> hold FILE" ended at
//                                       its limit; then whether FILE could be deleted at once
//   attach_probe envpass                run_hidden of "<this probe> envread" with a variable
//                                       outside the ANSI code page; envread exits 0 when it
//                                       arrived whole
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "attach/attach.h"
#include "norvaled.h"
#include "platform/initiator.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--public") {
        SetEnvironmentVariableA("PUBLIC", argv[2]);
        argc -= 2;
        argv += 2;
    }
    while (argc > 2 && std::string(argv[1]) == "--set") {
        const std::string pair = argv[2];
        const std::size_t eq = pair.find('=');
        SetEnvironmentVariableA(pair.substr(0, eq).c_str(), pair.substr(eq + 1).c_str());
        argc -= 2;
        argv += 2;
    }
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "elevated") {
        HMODULE dll = LoadLibraryA("norvaled.dll");
        auto fn = reinterpret_cast<int32_t (*)()>(
            reinterpret_cast<void*>(GetProcAddress(dll, "norvaled_process_elevated")));
        if (fn == nullptr) return 2;
        std::printf("elevated=%d\n", fn());
    } else if (what == "run" && argc == 4) {
        int rc = run_hidden(argv[3], static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
        std::printf("rc=%d err=%s\n", rc, norvaled_last_error());
    } else if (what == "elev" && argc == 5) {
        std::ifstream in(argv[4], std::ios::binary);
        std::stringstream body;
        body << in.rdbuf();
        int rc = norvaled_run_elevated_ps1(
            argv[2], body.str().c_str(), static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
        std::printf("rc=%d err=%s\n", rc, norvaled_last_error());
    } else if (what == "initiator") {
        service_t svc = initiator_service_open(service_access::query);
        iscsi_session_id sid;
        unsigned long login = initiator_login(NORVALED_TARGET_IQN, "127.0.0.1", 3261, &sid);
        std::printf("disk=%d service=%s login=%lu\n", find_our_disk(),
                    svc == nullptr ? "absent" : "present", login);
        initiator_service_close(svc);
    } else if (what == "hold" && argc == 3) {
        HANDLE h = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 3;
        Sleep(600000);
    } else if (what == "outlive" && argc == 3) {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof self);
        const std::string cmd = std::string("cmd /c \"\"") + self + "\" hold \"" + argv[2] + "\"\"";
        // The holder must have started within the limit; a slow machine gets longer.
        int rc = 0;
        for (uint32_t limit : {2000u, 10000u, 60000u}) {
            rc = run_hidden(cmd.c_str(), limit);
            if (GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES) break;
        }
        const bool held = GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES;
        std::printf("rc=%d held=%d deleted=%d\n", rc, held ? 1 : 0, DeleteFileA(argv[2]) ? 1 : 0);
    } else if (what == "envpass" || what == "envread") {
        const wchar_t* name = L"NORVALED_PROBE_TEXT";
        const std::wstring text = L"\u4e2d\u6587 \u00e9\u0394";
        if (what == "envread") {
            wchar_t got[64] = {};
            const DWORD n = GetEnvironmentVariableW(name, got, 64);
            return n == text.size() && text == got ? 0 : 1;
        }
        SetEnvironmentVariableW(name, text.c_str());
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof self);
        const std::string cmd = std::string("\"") + self + "\" envread";
        std::printf("rc=%d\n", run_hidden(cmd.c_str(), 60000));
    } else {
        return 2;
    }
    return 0;
}
