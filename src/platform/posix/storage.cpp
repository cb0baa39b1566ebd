// Drives and volumes on POSIX: those the stand-in daemon holds. Without the daemon there are
// no drives and no volumes.
#include "platform/storage.h"

#include <string>

#include "platform/posix/standin_client.h"

namespace {

constexpr unsigned long k_error_file_not_found = 2;

bool call_ok(const std::string& text, standin_reply* out = nullptr) {
    standin_reply reply;
    const bool ok = standin_call(text, reply) == 0 && reply.ok;
    if (out != nullptr) *out = reply;
    return ok;
}

std::string letter_text(char letter) {
    return std::string(1, letter);
}

} // namespace

int storage_query_ids(int drive, std::string& vendor, std::string& product) {
    standin_reply reply;
    if (!call_ok("drive " + std::to_string(drive), &reply)) return -1;
    // "<vendor>\t<product>\t...": the strings as INQUIRY gave them, blanks kept.
    const std::size_t tab = reply.text.find('\t');
    if (tab == std::string::npos) return -1;
    const std::size_t tab2 = reply.text.find('\t', tab + 1);
    vendor = reply.text.substr(0, tab);
    product = reply.text.substr(tab + 1, tab2 == std::string::npos ? tab2 : tab2 - tab - 1);
    return vendor.empty() || product.empty() ? -1 : 0;
}

struct plat_volume {
    char letter;
    bool locked = false;
};

volume_t volume_open(char letter, unsigned long* sys_error) {
    if (!call_ok("volume " + letter_text(letter))) {
        if (sys_error != nullptr) *sys_error = k_error_file_not_found;
        return nullptr;
    }
    return new plat_volume{letter};
}

void volume_flush(volume_t v) {
    if (v != nullptr) call_ok("flush " + letter_text(v->letter));
}

bool volume_lock(volume_t v) {
    if (v == nullptr || v->locked) return false;
    v->locked = call_ok("lock " + letter_text(v->letter));
    return v->locked;
}

bool volume_dismount(volume_t v) {
    return v != nullptr && call_ok("dismount " + letter_text(v->letter));
}

bool volume_unlock(volume_t v) {
    if (v == nullptr || !v->locked) return false;
    v->locked = false;
    return call_ok("unlock " + letter_text(v->letter));
}

// Closing the handle gives up its lock, as on Windows.
void volume_close(volume_t v) {
    if (v != nullptr && v->locked) call_ok("unlock " + letter_text(v->letter));
    delete v;
}

bool volume_remove_mount_point(char letter) {
    return call_ok("unassign " + letter_text(letter));
}
