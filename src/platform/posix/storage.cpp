// Drives and volumes on POSIX: those the stand-in daemon holds. Without the daemon there are
// no drives and no volumes.
#include "platform/storage.h"

#include <cstdlib>
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

int volume_letter_taken(char letter, std::string& vendor, std::string& product) {
    vendor.clear();
    product.clear();
    standin_reply reply;
    if (!call_ok("volume " + std::string(1, letter), &reply)) return 0;
    if (storage_query_ids(std::atoi(reply.text.c_str()), vendor, product) != 0) {
        vendor.clear();
        product.clear();
    }
    return 1;
}

// A volume handle names the drive, so that it outlives the letter it was opened by.
struct plat_volume {
    std::string drive;
    bool locked = false;
};

volume_t volume_open(char letter, unsigned long* sys_error) {
    standin_reply reply;
    if (!call_ok("volume " + std::string(1, letter), &reply)) {
        if (sys_error != nullptr) *sys_error = k_error_file_not_found;
        return nullptr;
    }
    return new plat_volume{reply.text};
}

void volume_flush(volume_t v) {
    if (v != nullptr) call_ok("flush " + v->drive);
}

bool volume_lock(volume_t v) {
    if (v == nullptr || v->locked) return false;
    v->locked = call_ok("lock " + v->drive);
    return v->locked;
}

bool volume_dismount(volume_t v) {
    return v != nullptr && call_ok("dismount " + v->drive);
}

bool volume_unlock(volume_t v) {
    if (v == nullptr || !v->locked) return false;
    v->locked = false;
    return call_ok("unlock " + v->drive);
}

// Closing the handle gives up its lock, as on Windows.
void volume_close(volume_t v) {
    if (v != nullptr && v->locked) call_ok("unlock " + v->drive);
    delete v;
}

bool volume_remove_mount_point(char letter) {
    return call_ok("unassign " + std::string(1, letter));
}
