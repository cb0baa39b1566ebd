// Login and text negotiation: fixed answer lists, one target, one portal, no authentication.
#include <cctype>
#include <cstdio>
#include <optional>
#include <string_view>

#include "norvaled.h"
#include "state/state.h"
#include "iscsi/conn.h"

namespace {

constexpr uint32_t k_min_recv_dsl = 512;
constexpr uint32_t k_max_recv_dsl = 16777215; // the largest a 24-bit DataSegmentLength holds
constexpr uint8_t k_status_initiator_error = 0x02;
constexpr uint8_t k_detail_not_found = 0x03;
constexpr uint8_t k_login_flag_mask = 0x8F;   // T, CSG, NSG; C cleared
constexpr uint8_t k_refusal_flag_mask = 0x7F; // T cleared

// One key=value entry of an answer; a null text means the number, in decimal.
struct text_entry {
    const char* key;
    const char* text;
    uint32_t number;
};

constexpr text_entry k_security_answer[] = {{"AuthMethod", "None", 0}};

constexpr text_entry k_discovery_operational_answer[] = {
    {"HeaderDigest", "None", 0},
    {"DataDigest", "None", 0},
    {"MaxRecvDataSegmentLength", nullptr, k_declared_recv_dsl},
};

// The data path relies on ImmediateData=Yes, MaxBurstLength and MaxOutstandingR2T=1.
constexpr text_entry k_normal_operational_answer[] = {
    {"TargetPortalGroupTag", "1", 0},
    {"HeaderDigest", "None", 0},
    {"DataDigest", "None", 0},
    {"MaxRecvDataSegmentLength", nullptr, k_declared_recv_dsl},
    {"InitialR2T", "No", 0},
    {"ImmediateData", "Yes", 0},
    {"FirstBurstLength", nullptr, k_first_burst},
    {"MaxBurstLength", nullptr, k_max_burst},
    {"MaxOutstandingR2T", "1", 0},
    {"MaxConnections", "1", 0},
    {"DataPDUInOrder", "Yes", 0},
    {"DataSequenceInOrder", "Yes", 0},
    {"ErrorRecoveryLevel", "0", 0},
    {"DefaultTime2Wait", "2", 0},
    {"DefaultTime2Retain", "0", 0},
};

// A text data segment being built: key=value entries, each ending in a zero byte (the one
// snprintf writes). Entries that do not fit are cut.
struct text_answer {
    std::array<char, k_answer_size> buf;
    uint32_t used = 0;

    void add(const char* key, const char* value) {
        const std::size_t space = buf.size() - used;
        if (space == 0) return;
        const int n = std::snprintf(buf.data() + used, space, "%s=%s", key, value);
        if (n < 0) return;
        used += static_cast<uint32_t>(std::min(static_cast<std::size_t>(n) + 1, space));
    }
    template <std::size_t N>
    void add(const text_entry (&list)[N]) {
        for (const text_entry& e : list) {
            char number[12];
            if (e.text == nullptr) std::snprintf(number, sizeof number, "%u", e.number);
            add(e.key, e.text != nullptr ? e.text : number);
        }
    }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(buf.data()); }
};

// A number read as strtol reads one: leading white space, a sign, digits up to the first
// other character. Values beyond any accepted one are clamped, never overflowed.
int64_t parse_decimal(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        v = std::min<int64_t>(v * 10 + (s[i] - '0'), INT64_C(1) << 40);
    return negative ? -v : v;
}

void take_recv_dsl(iscsi_conn& c, std::string_view value) {
    const int64_t v = parse_decimal(value);
    if (v >= k_min_recv_dsl && v <= k_max_recv_dsl) c.max_recv_dsl = static_cast<uint32_t>(v);
}

// A normal login naming another target: status "not found", then the connection closes.
int refuse_login(iscsi_conn& c, const bhs& req) {
    bhs h = answer_header(op_login_rsp, bhs_flags(req) & k_refusal_flag_mask, bhs_itt(req));
    bhs_copy_isid(h, req);
    bhs_set_stat_sn(h, c.stat_sn++);
    // The connection ends here, so the window moves in this header only.
    const uint32_t exp = exp_cmd_sn_after(req);
    bhs_set_exp_cmd_sn(h, exp);
    bhs_set_max_cmd_sn(h, exp + k_cmd_window - 1);
    bhs_set_login_status(h, k_status_initiator_error, k_detail_not_found);
    send_pdu(c, h, nullptr, 0);
    return k_conn_done;
}

void add_stage_answer(text_answer& a, uint8_t csg, bool discovery) {
    if (csg == 0)
        a.add(k_security_answer);
    else if (csg == 1 && discovery)
        a.add(k_discovery_operational_answer);
    else if (csg == 1)
        a.add(k_normal_operational_answer);
}

} // namespace

std::optional<std::string_view> kv_find(const uint8_t* data, uint32_t len, std::string_view key) {
    if (data == nullptr || len == 0) return std::nullopt;
    const std::string_view seg(reinterpret_cast<const char*>(data), len);
    std::size_t pos = 0;
    while (pos < seg.size()) {
        std::size_t end = seg.find('\0', pos);
        if (end == std::string_view::npos) end = seg.size();
        const std::string_view entry = seg.substr(pos, end - pos);
        if (entry.size() > key.size() && entry[key.size()] == '=' &&
            entry.compare(0, key.size(), key) == 0)
            return entry.substr(key.size() + 1);
        pos = end + 1;
    }
    return std::nullopt;
}

int login_request(iscsi_conn& c, const rx_pdu& req) {
    const uint8_t* d = req.bytes();
    if (auto type = kv_find(d, req.len, "SessionType")) c.discovery = *type == "Discovery";
    if (auto dsl = kv_find(d, req.len, "MaxRecvDataSegmentLength")) take_recv_dsl(c, *dsl);
    if (!c.discovery) {
        auto name = kv_find(d, req.len, "TargetName");
        if (name && *name != NORVALED_TARGET_IQN) return refuse_login(c, req.hdr);
    }
    note_cmd_sn(c, req.hdr);
    if (bhs_login_transit(req.hdr) && bhs_login_nsg(req.hdr) == k_stage_full_feature && c.tsih == 0)
        c.tsih = 1;

    text_answer a;
    add_stage_answer(a, bhs_login_csg(req.hdr), c.discovery != 0);
    bhs h = answer_header(op_login_rsp, bhs_flags(req.hdr) & k_login_flag_mask, bhs_itt(req.hdr));
    bhs_copy_isid(h, req.hdr);
    bhs_set_tsih(h, c.tsih);
    stamp_status(c, h);
    return send_pdu(c, h, a.bytes(), a.used);
}

int text_request(iscsi_conn& c, const rx_pdu& req) {
    note_cmd_sn(c, req.hdr);
    text_answer a;
    if (kv_find(req.bytes(), req.len, "SendTargets")) {
        char portal[32];
        std::snprintf(portal, sizeof portal, "127.0.0.1:%d,1", static_cast<int>(g_port.load()));
        a.add("TargetName", NORVALED_TARGET_IQN);
        a.add("TargetAddress", portal);
    }
    bhs h = answer_header(op_text_rsp, k_flag_final, bhs_itt(req.hdr));
    bhs_set_ttt(h, k_reserved_tag);
    stamp_status(c, h);
    return send_pdu(c, h, a.bytes(), a.used);
}
