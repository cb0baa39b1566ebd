// Serves a mock image and runs mounts and unmounts on it, printing each call's code and
// last-error text and then the statistics, so a test can check how far the Windows attachment
// gets on a machine with or without an iSCSI initiator.
//   mount_probe [--public DIR] IMAGE PORT LETTER STEP...
// Steps: "mount" (formatting allowed), "unmount", "uac" (sets VK_NORVALED_FORCE_UAC=1, the
// non-elevated path) and "sessions=FILE" (the listing the stand-in iscsicli prints from now on).
// A step written "t:STEP" runs on a thread of its own, as a host's Ctrl-C handler would.
// "--public DIR" sets PUBLIC inside the process (Wine replaces the Unix value).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "norvaled.h"

namespace {

void print_result(const char* what, int32_t rc) {
    std::printf("%s %d %s\n", what, static_cast<int>(rc), norvaled_last_error());
    std::printf("stats %s\n", norvaled_stats());
    std::fflush(stdout);
}

bool run_step(const std::string& step, char letter) {
    if (step == "mount") {
        print_result("mount", norvaled_mount_ex(letter, 1));
    } else if (step == "unmount") {
        print_result("unmount", norvaled_unmount());
    } else if (step == "uac") {
        SetEnvironmentVariableA("VK_NORVALED_FORCE_UAC", "1");
    } else if (step.rfind("sessions=", 0) == 0) {
        SetEnvironmentVariableA("NORVALED_STANDIN_SESSIONS", step.c_str() + 9);
    } else {
        std::fprintf(stderr, "unknown step %s\n", step.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--public") == 0) {
        SetEnvironmentVariableA("PUBLIC", argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc < 5) {
        std::fprintf(stderr, "usage: mount_probe [--public DIR] IMAGE PORT LETTER STEP...\n");
        return 2;
    }
    if (norvaled_connect("mock", 0, "probe", nullptr) != 0 ||
        norvaled_start(argv[1], 64ll << 20, std::atoi(argv[2])) != 0) {
        std::printf("start failed: %s\n", norvaled_last_error());
        return 1;
    }
    int rc = 0;
    for (int i = 4; i < argc && rc == 0; ++i) {
        std::string step = argv[i];
        bool ok = false;
        if (step.rfind("t:", 0) == 0)
            std::thread([&] { ok = run_step(step.substr(2), argv[3][0]); }).join();
        else
            ok = run_step(step, argv[3][0]);
        if (!ok) rc = 2;
    }
    norvaled_disconnect();
    return rc;
}
