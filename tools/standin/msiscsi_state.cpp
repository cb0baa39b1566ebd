// Sessions are real iSCSI sessions through libiscsi; a session's drive is its first disk LUN,
// under the lowest free number from 1; letters name drives. All of it lives in this process only.
#include "msiscsi.h"
#include "platform/posix/standin_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <unistd.h>
#include <vector>

extern "C" {
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>
}

namespace {

// Status codes of the Windows initiator's discovery interface (ISDSC_...).
constexpr uint32_t k_non_specific_error = 0xEFFF0001;
constexpr uint32_t k_connection_failed = 0xEFFF0003;
constexpr uint32_t k_invalid_session_id = 0xEFFF001C;
constexpr uint32_t k_target_already_logged_in = 0xEFFF003F;
constexpr uint32_t k_device_busy_on_session = 0xEFFF0040;
// And the Win32 errors the storage calls give.
constexpr uint32_t k_error_file_not_found = 2;
constexpr uint32_t k_error_invalid_parameter = 87;
constexpr uint32_t k_error_io = 1117;
constexpr uint32_t k_error_lock_violation = 33;

// The target serves one connection at a time: a login that cannot get through must fail
// after this long instead of waiting for a target that is busy with someone else.
constexpr int k_iscsi_timeout_s = 5;
// LUN 0 answers REPORT LUNS on every target, whatever it is (tgtd's is a controller).
constexpr int k_lun0 = 0;
constexpr int k_report_luns_alloc = 4096;
// A fresh session reports a unit attention (power on, reset) once per LUN before its commands.
constexpr int k_unit_attention_tries = 3;
constexpr const char* k_initiator_name = "iqn.2026-08.org.norvaled.standin:initiator";

struct context_closer {
    void operator()(iscsi_context* c) const { iscsi_destroy_context(c); }
};
struct task_freer {
    void operator()(scsi_task* t) const { scsi_free_scsi_task(t); }
};
using unique_task = std::unique_ptr<scsi_task, task_freer>;

struct session {
    std::string id; // two hexadecimal numbers joined by a dash, as the Windows initiator's
    std::string iqn, address;
    int port = 0;
    std::unique_ptr<iscsi_context, context_closer> ctx;
    int lun = -1; // the disk LUN, -1 when the target has none (then the session has no drive)
    std::string vendor, product;
    uint32_t block_size = 512;
    uint64_t blocks = 0;
    bool in_use = false; // a device on it is in use: its logout is refused
};

struct drive {
    std::string session_id;
    std::string vendor, product; // as INQUIRY reported them, blanks included
    std::string device_id;
    bool locked = false; // its volume, locked through a volume handle
};

std::vector<std::pair<std::string, int>> g_portals;
std::vector<session> g_sessions;
std::map<int, drive> g_drives; // by drive number
std::map<char, int> g_letters; // drive number by upper-case letter
uint64_t g_session_seq = 0;
unsigned g_device_seq = 0;

using args_t = std::vector<std::string>;

std::string err(uint32_t status, const std::string& message) {
    char head[32];
    std::snprintf(head, sizeof head, "err %08" PRIX32 " ", status);
    return head + message;
}

std::string trimmed(const std::string& s) {
    const std::size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? "" : s.substr(0, end + 1);
}

session* find_session(const std::string& id) {
    for (session& s : g_sessions)
        if (s.id == id) return &s;
    return nullptr;
}

bool good(const unique_task& t) {
    return t && t->status == SCSI_STATUS_GOOD;
}

int parse_int(const std::string& s, long long lo, long long hi, long long& out) {
    char* end = nullptr;
    out = std::strtoll(s.c_str(), &end, 10);
    return end != s.c_str() && *end == '\0' && out >= lo && out <= hi ? 0 : -1;
}

char parse_letter(const std::string& s) {
    if (s.size() != 1 || !std::isalpha(static_cast<unsigned char>(s[0]))) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
}

void drop_letters_of(int number) {
    for (auto it = g_letters.begin(); it != g_letters.end();)
        it = it->second == number ? g_letters.erase(it) : std::next(it);
}

void drop_drives_of(const std::string& session_id) {
    for (auto it = g_drives.begin(); it != g_drives.end();) {
        if (it->second.session_id != session_id) {
            ++it;
            continue;
        }
        drop_letters_of(it->first);
        it = g_drives.erase(it);
    }
}

int lowest_free_drive() {
    int n = 1;
    while (g_drives.count(n) != 0)
        ++n;
    return n;
}

// The LUNs the target reports; LUN 0 alone when it cannot report them.
std::vector<int> reported_luns(iscsi_context* c) {
    unique_task t(iscsi_reportluns_sync(c, 0, k_report_luns_alloc));
    auto* list =
        good(t) ? static_cast<scsi_reportluns_list*>(scsi_datain_unmarshall(t.get())) : nullptr;
    if (list == nullptr) return {k_lun0};
    return std::vector<int>(list->luns, list->luns + list->num);
}

// Takes the first LUN that is a connected direct-access disk, as the Windows initiator shows
// only those as disks; false when there is none.
bool pick_disk_lun(session& s) {
    iscsi_context* c = s.ctx.get();
    for (int lun : reported_luns(c)) {
        unique_task inq(iscsi_inquiry_sync(c, lun, 0, 0, 255));
        auto* std_inq = good(inq)
                            ? static_cast<scsi_inquiry_standard*>(scsi_datain_unmarshall(inq.get()))
                            : nullptr;
        if (std_inq == nullptr ||
            std_inq->qualifier != SCSI_INQUIRY_PERIPHERAL_QUALIFIER_CONNECTED ||
            std_inq->device_type != SCSI_INQUIRY_PERIPHERAL_DEVICE_TYPE_DIRECT_ACCESS)
            continue;
        s.lun = lun;
        s.vendor = std_inq->vendor_identification;
        s.product = std_inq->product_identification;
        return true;
    }
    return false;
}

void clear_unit_attention(session& s) {
    for (int i = 0; i < k_unit_attention_tries; ++i) {
        unique_task t(iscsi_testunitready_sync(s.ctx.get(), s.lun));
        if (!t || t->status != SCSI_STATUS_CHECK_CONDITION ||
            t->sense.key != SCSI_SENSE_UNIT_ATTENTION)
            return;
    }
}

// Opens the session and reads what its disk is; a failure message, empty on success. A
// target without a disk LUN gives a session without a disk.
std::string open_session(session& s) {
    s.ctx.reset(iscsi_create_context(k_initiator_name));
    iscsi_context* c = s.ctx.get();
    if (c == nullptr) return "cannot create an iSCSI context";
    // Every PDU created from here on carries this limit, so every call below is bounded.
    iscsi_set_timeout(c, k_iscsi_timeout_s);
    iscsi_set_noautoreconnect(c, 1);
    iscsi_set_targetname(c, s.iqn.c_str());
    iscsi_set_session_type(c, ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(c, ISCSI_HEADER_DIGEST_NONE);
    const std::string portal = s.address + ":" + std::to_string(s.port);
    if (iscsi_full_connect_sync(c, portal.c_str(), k_lun0) != 0)
        return "login to " + s.iqn + " at " + portal + " failed: " + iscsi_get_error(c);
    if (!pick_disk_lun(s)) return {};
    clear_unit_attention(s);
    unique_task cap(iscsi_readcapacity16_sync(c, s.lun));
    auto* rc16 =
        good(cap) ? static_cast<scsi_readcapacity16*>(scsi_datain_unmarshall(cap.get())) : nullptr;
    if (rc16 == nullptr || rc16->block_length == 0)
        return std::string("READ CAPACITY (16) failed: ") + iscsi_get_error(c);
    s.block_size = rc16->block_length;
    s.blocks = rc16->returned_lba + 1;
    return {};
}

// The session's drive under the lowest free number; number stays 0 when it has no disk.
void add_drive(const session& s, int& number) {
    if (s.lun < 0) return;
    drive d;
    d.session_id = s.id;
    d.vendor = s.vendor;
    d.product = s.product;
    std::string name = "SCSI\\DISK&VEN_" + trimmed(d.vendor) + "&PROD_" + trimmed(d.product);
    std::replace(name.begin(), name.end(), ' ', '_');
    char tail[32];
    std::snprintf(tail, sizeof tail, "\\1&STANDIN&0&%06u", ++g_device_seq);
    d.device_id = name + tail;
    number = lowest_free_drive();
    g_drives[number] = d;
}

// The stand-in exists for the library's loopback target and never reaches further.
bool is_loopback(const std::string& address) {
    in_addr a{};
    return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string do_login(const std::string& iqn, const std::string& address, int port) {
    if (!is_loopback(address))
        return err(k_connection_failed, "the stand-in logs in to 127.0.0.0/8 portals only");
    for (const session& s : g_sessions)
        if (s.iqn == iqn) return err(k_target_already_logged_in, "the target is already logged in");
    session s;
    char id[40];
    const uint64_t adapter = 0xffffe00000000000ull | static_cast<uint64_t>(getpid()) << 4;
    const uint64_t specific = 0x4000013700000000ull + ++g_session_seq;
    std::snprintf(id, sizeof id, "%016" PRIx64 "-%016" PRIx64, adapter, specific);
    s.id = id;
    s.iqn = iqn;
    s.address = address;
    s.port = port;
    const std::string failure = open_session(s);
    if (!failure.empty()) return err(k_connection_failed, failure);
    int number = 0;
    add_drive(s, number);
    g_sessions.push_back(std::move(s));
    return "ok " + g_sessions.back().id + "\t" + std::to_string(number);
}

// ok SESSION-ID<tab>DRIVE, drive 0 when the target has no disk.
std::string on_login(const args_t& a) {
    long long port = 0;
    if (a.size() != 4 || parse_int(a[3], 1, 65535, port) != 0)
        return err(k_error_invalid_parameter, "usage: login IQN ADDRESS PORT");
    return do_login(a[1], a[2], static_cast<int>(port));
}

// QLoginTarget: the target through the first portal that leads to it.
std::string on_qlogin(const args_t& a) {
    if (a.size() != 2) return err(k_error_invalid_parameter, "usage: qlogin IQN");
    std::string last = err(k_non_specific_error, "no send-targets portal is known");
    for (const auto& [address, port] : g_portals) {
        last = do_login(a[1], address, port);
        if (last.rfind("ok", 0) == 0 || last.find("already logged in") != std::string::npos) break;
    }
    return last;
}

std::string on_logout(const args_t& a) {
    if (a.size() != 2) return err(k_error_invalid_parameter, "usage: logout SESSION-ID");
    session* s = find_session(a[1]);
    if (s == nullptr) return err(k_invalid_session_id, "no session " + a[1]);
    if (s->in_use)
        return err(k_device_busy_on_session, "The session cannot be logged out since a device on "
                                             "that session is currently being used.");
    // A session whose target already went is ended all the same: it is gone either way.
    iscsi_logout_sync(s->ctx.get());
    drop_drives_of(s->id);
    g_sessions.erase(g_sessions.begin() + (s - g_sessions.data()));
    return "ok";
}

std::string on_portal(const args_t& a) {
    long long port = 0;
    if (a.size() != 3 || parse_int(a[2], 1, 65535, port) != 0)
        return err(k_error_invalid_parameter, "usage: " + a[0] + " ADDRESS PORT");
    const std::pair<std::string, int> portal(a[1], static_cast<int>(port));
    auto it = std::find(g_portals.begin(), g_portals.end(), portal);
    if (a[0] == "add_portal") {
        if (it == g_portals.end()) g_portals.push_back(portal);
        return "ok";
    }
    if (it == g_portals.end()) return err(k_non_specific_error, "no such send-targets portal");
    g_portals.erase(it);
    return "ok";
}

// in_use SESSION-ID 1|0: plays a file held open on the session's disk, which Windows answers
// by refusing the logout.
std::string on_in_use(const args_t& a) {
    session* s = a.size() == 3 && (a[2] == "1" || a[2] == "0") ? find_session(a[1]) : nullptr;
    if (s == nullptr) return err(k_error_invalid_parameter, "usage: in_use SESSION-ID 1|0");
    s->in_use = a[2] == "1";
    return "ok";
}

std::string on_portals(std::string& out) {
    for (const auto& [address, port] : g_portals)
        out += address + "\t" + std::to_string(port) + "\n";
    return "ok " + std::to_string(g_portals.size());
}

std::string on_sessions(std::string& out) {
    for (const session& s : g_sessions) {
        out += s.id + "\t" + s.iqn + "\t" + s.address + "\t" + std::to_string(s.port) + "\n";
    }
    return "ok " + std::to_string(g_sessions.size());
}

std::string on_drives(std::string& out) {
    for (const auto& [n, d] : g_drives) {
        std::string letters;
        for (const auto& [l, v] : g_letters)
            if (v == n) letters += l;
        out += std::to_string(n) + "\t" + d.vendor + "\t" + d.product + "\t" + d.device_id + "\t" +
               letters + "\n";
    }
    return "ok " + std::to_string(g_drives.size());
}

// The drive and its session, or nullptr and an error reply in why.
session* drive_session(const std::string& arg, int& number, std::string& why) {
    long long n = 0;
    if (parse_int(arg, 0, 1 << 20, n) != 0 || g_drives.count(static_cast<int>(n)) == 0) {
        why = err(k_error_file_not_found, "there is no drive " + arg);
        return nullptr;
    }
    number = static_cast<int>(n);
    session* s = find_session(g_drives[number].session_id);
    if (s == nullptr) why = err(k_error_file_not_found, "drive " + arg + " has no session");
    return s;
}

std::string on_drive(const args_t& a) {
    int n = 0;
    std::string why;
    session* s = a.size() == 2 ? drive_session(a[1], n, why) : nullptr;
    if (s == nullptr) return why.empty() ? err(k_error_invalid_parameter, "usage: drive N") : why;
    const drive& d = g_drives[n];
    return "ok " + d.vendor + "\t" + d.product + "\t" + std::to_string(s->blocks) + "\t" +
           std::to_string(s->block_size);
}

std::string sync_session(session& s) {
    unique_task t(iscsi_synchronizecache10_sync(s.ctx.get(), s.lun, 0, 0, 0, 0));
    return good(t) ? "ok"
                   : err(k_error_io, std::string("sync failed: ") + iscsi_get_error(s.ctx.get()));
}

// read N LBA BLOCKS / write N LBA (payload) / sync N
std::string on_io(const args_t& a, const std::string& payload, std::string& out) {
    int n = 0;
    std::string why;
    session* s = a.size() >= 2 ? drive_session(a[1], n, why) : nullptr;
    if (s == nullptr) return why.empty() ? err(k_error_invalid_parameter, "usage: read N") : why;
    iscsi_context* c = s->ctx.get();
    if (a[0] == "sync") return sync_session(*s);
    long long lba = 0, count = 0;
    const long long max_blocks = static_cast<long long>(k_standin_payload_max / s->block_size);
    if (a.size() < 3 || parse_int(a[2], 0, static_cast<long long>(s->blocks), lba) != 0)
        return err(k_error_invalid_parameter, "bad block address");
    if (a[0] == "read") {
        if (a.size() != 4 || parse_int(a[3], 1, max_blocks, count) != 0 ||
            static_cast<uint64_t>(lba + count) > s->blocks)
            return err(k_error_invalid_parameter, "bad block count");
        const uint32_t len = static_cast<uint32_t>(count) * s->block_size;
        unique_task t(iscsi_read16_sync(c, s->lun, static_cast<uint64_t>(lba), len, s->block_size,
                                        0, 0, 0, 0, 0));
        if (!good(t) || t->datain.size != static_cast<int>(len))
            return err(k_error_io, std::string("read failed: ") + iscsi_get_error(c));
        out.assign(reinterpret_cast<const char*>(t->datain.data), len);
        return "ok";
    }
    if (payload.empty() || payload.size() % s->block_size != 0 ||
        static_cast<uint64_t>(lba) + payload.size() / s->block_size > s->blocks)
        return err(k_error_invalid_parameter, "bad write length");
    std::string data = payload; // libiscsi wants a mutable buffer
    unique_task t(iscsi_write16_sync(
        c, s->lun, static_cast<uint64_t>(lba), reinterpret_cast<unsigned char*>(data.data()),
        static_cast<uint32_t>(data.size()), s->block_size, 0, 0, 0, 0, 0));
    return good(t) ? "ok" : err(k_error_io, std::string("write failed: ") + iscsi_get_error(c));
}

// pnputil /remove-device: the drive goes, its session stays (as on Windows, where removing
// the device node releases the logical unit).
std::string on_remove_device(const args_t& a) {
    if (a.size() != 2) return err(k_error_invalid_parameter, "usage: remove_device ID");
    for (auto it = g_drives.begin(); it != g_drives.end(); ++it) {
        if (it->second.device_id != a[1]) continue;
        drop_letters_of(it->first);
        g_drives.erase(it);
        return "ok";
    }
    return err(k_error_file_not_found, "no device " + a[1]);
}

std::string on_assign(const args_t& a) {
    long long n = 0;
    const char l = a.size() == 3 ? parse_letter(a[2]) : 0;
    if (l == 0 || parse_int(a[1], 0, 1 << 20, n) != 0)
        return err(k_error_invalid_parameter, "usage: assign N LETTER");
    if (g_drives.count(static_cast<int>(n)) == 0)
        return err(k_error_file_not_found, "there is no drive " + a[1]);
    auto it = g_letters.find(l);
    if (it != g_letters.end() && it->second != n)
        return err(k_error_invalid_parameter, std::string("the letter ") + l + " is in use");
    g_letters[l] = static_cast<int>(n);
    return "ok";
}

std::string on_unassign_drive(const args_t& a) {
    long long n = 0;
    if (a.size() != 2 || parse_int(a[1], 0, 1 << 20, n) != 0)
        return err(k_error_invalid_parameter, "usage: unassign_drive N");
    drop_letters_of(static_cast<int>(n));
    return "ok";
}

// volume X: the drive whose volume the letter names; unassign X: the letter goes.
std::string on_letter(const args_t& a) {
    const char l = a.size() == 2 ? parse_letter(a[1]) : 0;
    if (l == 0) return err(k_error_invalid_parameter, "usage: " + a[0] + " LETTER");
    auto it = g_letters.find(l);
    if (it == g_letters.end())
        return err(k_error_file_not_found, std::string("no volume under ") + l + ":");
    const std::string number = std::to_string(it->second);
    if (a[0] == "unassign") g_letters.erase(it);
    return "ok " + number;
}

// lock / unlock / dismount / flush N: on the volume of drive N, which outlives its letters.
std::string on_volume(const args_t& a) {
    int n = 0;
    std::string why;
    session* s = a.size() == 2 ? drive_session(a[1], n, why) : nullptr;
    if (s == nullptr) return why.empty() ? err(k_error_invalid_parameter, "usage: lock N") : why;
    drive& d = g_drives[n];
    if (a[0] == "lock") {
        if (d.locked) return err(k_error_lock_violation, "the volume is locked");
        d.locked = true;
    } else if (a[0] == "unlock") {
        d.locked = false;
    } else if (a[0] == "flush") {
        return sync_session(*s);
    }
    return "ok";
}

} // namespace

std::string msiscsi_handle(const std::string& text, const std::string& payload,
                           std::string& reply_payload) {
    args_t a;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        a.push_back(w);
    if (a.empty()) return err(k_error_invalid_parameter, "empty request");
    const std::string& verb = a[0];
    if (verb == "ping") return "ok " + std::to_string(getpid());
    if (verb == "login") return on_login(a);
    if (verb == "qlogin") return on_qlogin(a);
    if (verb == "logout") return on_logout(a);
    if (verb == "add_portal" || verb == "remove_portal") return on_portal(a);
    if (verb == "in_use") return on_in_use(a);
    if (verb == "portals") return on_portals(reply_payload);
    if (verb == "sessions") return on_sessions(reply_payload);
    if (verb == "drives") return on_drives(reply_payload);
    if (verb == "drive") return on_drive(a);
    if (verb == "read" || verb == "write" || verb == "sync")
        return on_io(a, payload, reply_payload);
    if (verb == "remove_device") return on_remove_device(a);
    if (verb == "assign") return on_assign(a);
    if (verb == "unassign_drive") return on_unassign_drive(a);
    if (verb == "volume" || verb == "unassign") return on_letter(a);
    if (verb == "lock" || verb == "unlock" || verb == "dismount" || verb == "flush")
        return on_volume(a);
    return err(k_error_invalid_parameter, "unknown request " + verb);
}

void msiscsi_logout_all() {
    for (session& s : g_sessions)
        iscsi_logout_sync(s.ctx.get());
    g_sessions.clear();
    g_drives.clear();
    g_letters.clear();
}
