// Session inspection through "iscsicli SessionList", and the forced logout of the sessions
// to the library's own target, whoever left them behind.
#include "attach/attach.h"

#include "attach/parse.h"
#include "norvaled.h"
#include "platform/sys.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t k_id_size = 128;
constexpr char k_target_iqn[] = NORVALED_TARGET_IQN;

// Numbers the list files, so that concurrent calls never share one.
std::atomic<uint32_t> g_list_seq{0};

struct listing_scan {
    bool saw_total = false;
    bool saw_ours = false;
    char current[k_id_size] = {}; // the token of the latest "Session Id" line
    char ours[k_id_size] = {};    // the identifier of the last session block naming our IQN
};

// The token after the first colon of a "Session Id" line. An identifier that is longer than
// the buffer, runs on past this piece of a long line or holds a tab, is unknown: a cut or split
// identifier would log out some other session, or none.
void take_session_id(listing_scan* scan, const char* marker, bool piece_complete) {
    scan->current[0] = 0;
    const char* p = std::strchr(marker, ':');
    if (p == nullptr) return;
    ++p;
    while (*p == ' ' || *p == '\t')
        ++p;
    std::size_t n = std::strcspn(p, "\n \r");
    bool runs_on = p[n] == 0 && !piece_complete;
    if (n >= k_id_size || runs_on) {
        vk_mount_log("session id longer than %lu characters ignored",
                     static_cast<unsigned long>(k_id_size - 1));
        return;
    }
    // A tab would split the identifier into two words of the logout command line.
    if (std::memchr(p, '\t', n) != nullptr) {
        vk_mount_log("session id with a tab ignored");
        return;
    }
    std::memcpy(scan->current, p, n);
    scan->current[n] = 0;
}

// Whether the line names the target IQN as a whole name: "...:norvaled2" is another target,
// and its session must never be logged out as ours.
bool names_our_target(const char* line) {
    const std::size_t len = std::strlen(k_target_iqn);
    for (const char* p = std::strstr(line, k_target_iqn); p != nullptr;
         p = std::strstr(p + 1, k_target_iqn)) {
        const unsigned char next = static_cast<unsigned char>(p[len]);
        if (!std::isalnum(next) && next != '.' && next != '-' && next != ':') return true;
    }
    return false;
}

void scan_line(listing_scan* scan, const char* line, bool piece_complete) {
    if (const char* total = std::strstr(line, "Total of")) {
        int count = 0;
        if (std::sscanf(total, "Total of %d", &count) == 1) scan->saw_total = true;
    } else if (const char* id = std::strstr(line, "Session Id")) {
        take_session_id(scan, id, piece_complete);
    } else if (names_our_target(line)) {
        std::memcpy(scan->ours, scan->current, sizeof scan->ours);
        scan->saw_ours = true;
    }
}

} // namespace

int scan_session_listing(std::FILE* listing, char* id, std::size_t cap) {
    listing_scan scan;
    char line[512];
    while (std::fgets(line, sizeof line, listing) != nullptr) {
        bool complete = std::strchr(line, '\n') != nullptr || std::feof(listing);
        scan_line(&scan, line, complete);
    }
    if (id != nullptr && cap != 0) {
        id[0] = 0;
        if (std::strlen(scan.ours) < cap) std::strcpy(id, scan.ours);
    }
    // Only a session block naming our target counts: sessions to other targets are not ours.
    if (scan.saw_ours) return 1;
    return scan.saw_total ? 0 : -1;
}

namespace {

// Makes the list file afresh under a name nobody can guess: the listing decides which
// identifiers the logout (elevated) is run on, so no other user may plant or pre-create the
// file that cmd's redirection then writes into. 0 and the path, or -1.
int create_list_file(char (&path)[k_max_path + 2]) {
    unsigned char noise[8];
    if (random_bytes(noise, sizeof noise) != 0) {
        vk_mount_log("session list: no random name part");
        return -1;
    }
    const std::string dir = temp_dir();
    if (dir.empty()) {
        vk_mount_log("session list: cannot find the user's temporary directory");
        return -1;
    }
    char part[2 * sizeof noise + 1];
    for (std::size_t i = 0; i < sizeof noise; ++i)
        std::snprintf(part + 2 * i, 3, "%02x", noise[i]);
    int n = std::snprintf(path, sizeof path, "%svknorvaled_sl_%lu_%s.txt", dir.c_str(),
                          static_cast<unsigned long>(++g_list_seq), part);
    if (n < 0 || static_cast<std::size_t>(n) > k_max_path) {
        vk_mount_log("session list path too long: %s", path);
        return -1;
    }
    std::FILE* f = file_create_private(path);
    if (f == nullptr) {
        vk_mount_log("session list: cannot create %s", path);
        return -1;
    }
    std::fclose(f);
    return 0;
}

} // namespace

int unmount_our_session_present(char* id, std::size_t cap) {
    if (id != nullptr && cap != 0) id[0] = 0;
    char path[k_max_path + 2];
    if (create_list_file(path) != 0) return -1;
    char cmd[512];
    std::snprintf(cmd, sizeof cmd, "cmd /c iscsicli SessionList > \"%s\" 2>&1", path);
    run_hidden(cmd, 60000); // only the file counts

    int present = -1; // no file is no listing
    if (std::FILE* f = std::fopen(path, "r")) {
        present = scan_session_listing(f, id, cap);
        std::fclose(f);
    }
    std::remove(path);
    return present;
}

void unmount_logout_all_by_iqn() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        char id[k_id_size];
        if (unmount_our_session_present(id, sizeof id) != 1 || id[0] == 0) return;
        char cmd[256];
        std::snprintf(cmd, sizeof cmd, "iscsicli LogoutTarget %s", id);
        int rc = run_hidden(cmd, 30000);
        vk_mount_log("force logout id=%s rc=%d", id, rc);
        sleep_ms(1500);
    }
}
