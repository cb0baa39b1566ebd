// Plays the initiator's command-line tool in a Wine prefix's System32. "SessionList" prints the
// listing in the file that NORVALED_STANDIN_SESSIONS names (a machine without sessions when it
// is unset or missing); LogoutTarget, QLoginTarget and RemoveTargetPortal are recorded and
// change nothing, so a listed session stays until the test changes the listing.
#include "record.h"

#include <cstring>
#include <string>

namespace {

constexpr char k_banner[] = "Microsoft iSCSI Initiator Version 10.0 Build 19041\r\n\r\n";
constexpr char k_done[] = "The operation completed successfully.\r\n";

void print_listing() {
    char path[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableA("NORVALED_STANDIN_SESSIONS", path, sizeof path);
    std::FILE* f = n == 0 || n >= sizeof path ? nullptr : std::fopen(path, "rb");
    std::fputs(k_banner, stdout);
    if (f == nullptr) {
        std::fputs("Total of 0 sessions\r\n\r\n", stdout);
    } else {
        char buf[4096];
        std::size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
            std::fwrite(buf, 1, got, stdout);
        std::fclose(f);
    }
    std::fputs(k_done, stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i)
        line += std::string(i > 1 ? " " : "") + argv[i];
    standin_record("iscsicli %s", line.c_str());
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "SessionList" && argc == 2) {
        print_listing();
        return 0;
    }
    const bool known = (verb == "LogoutTarget" && argc == 3) ||
                       (verb == "QLoginTarget" && argc == 3) ||
                       (verb == "RemoveTargetPortal" && argc == 4);
    std::fputs(k_banner, stdout);
    if (!known) {
        std::fputs("Usage: iscsicli SessionList | LogoutTarget ID | QLoginTarget IQN | "
                   "RemoveTargetPortal ADDRESS PORT\r\n",
                   stdout);
        return 87;
    }
    std::fputs(k_done, stdout);
    return 0;
}
