#include "report.h"

#include <array>
#include <cstdio>
#include <optional>

#include "norvaled.h"

namespace {

struct hint_entry {
    std::optional<host_step> step; // none: any step
    int32_t code;
    const char* hint;
};

// The first entry that fits is shown.
constexpr std::array<hint_entry, 14> k_hints{{
    {host_step::connect, NORVALED_E_TIMEOUT,
     "check the host and port, and that an SSH server answers there "
     "(--connect-timeout-ms sets the limit)"},
    {host_step::connect, NORVALED_E_NET, "check the host name and port"},
    {host_step::connect, NORVALED_E_SSH,
     "check the user name, --key or --password-env, --host-key-sha256, and that the server "
     "offers SFTP"},
    {host_step::connect, NORVALED_E_ARG, "check USER@HOST in --sftp"},
    {host_step::start, NORVALED_E_SSH,
     "check the image path, and that the image can be created and written there"},
    {host_step::start, NORVALED_E_NET, "the port may be in use; try another --port"},
    {host_step::start, NORVALED_E_ARG, "check --image and --size (at least 64M)"},
    {host_step::mount, NORVALED_E_CONSENT,
     "add --allow-format to let a blank or unrecognised image be formatted as NTFS"},
    {host_step::mount, NORVALED_E_MOUNT,
     "vk_norvaled_mount.log (in %PUBLIC%, else the temporary directory) tells which step "
     "failed"},
    {host_step::unmount, NORVALED_E_UNMOUNT,
     "the disk may still be attached; vk_norvaled_mount.log tells which step failed"},
    {host_step::stop, NORVALED_E_SSH,
     "the image could not be written; the connection to it may have broken"},
    {std::nullopt, NORVALED_E_STATE,
     "the library was not in the state this step needs; restart norvaled"},
    {std::nullopt, NORVALED_E_RESOURCE, "the system is short of threads or memory"},
    {std::nullopt, NORVALED_E_UNMOUNT, "the disk may still be attached; run norvaled again"},
}};

// The few failures that leave the last-error text empty.
const char* fallback_text(host_step step) {
    switch (step) {
    case host_step::flush:
        return "writing cached data back to the image failed";
    case host_step::stop:
        return "stopping the target failed";
    default:
        return "the library gave no message";
    }
}

} // namespace

std::string failure_hint(host_step step, int32_t code) {
    for (const hint_entry& h : k_hints)
        if (h.code == code && (!h.step || *h.step == step)) return h.hint;
    return "";
}

void report_failure(host_step step, int32_t code) {
    const char* text = norvaled_last_error();
    std::fprintf(stderr, "error: %s (code %d)\n", text[0] != 0 ? text : fallback_text(step),
                 static_cast<int>(code));
    const std::string hint = failure_hint(step, code);
    if (!hint.empty()) std::fprintf(stderr, "hint: %s\n", hint.c_str());
    std::fflush(stderr);
}
