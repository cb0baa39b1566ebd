// PDU framing and sequence numbers, and the small requests answered here: NOP-Out, Task
// Management, Logout and Reject.
#include <algorithm>

#include "iscsi/conn.h"

namespace {

// A legitimate initiator has at most its command window in flight, so more commands than that
// during one data phase is not an initiator to serve.
constexpr std::size_t k_kept_max = k_cmd_window;

uint32_t padded(uint32_t len) {
    return (len + 3u) & ~3u;
}

// The target never uses additional header segments, but skipping one keeps the framing.
int skip_ahs(iscsi_conn& c, const bhs& h) {
    const uint32_t n = bhs_ahs_bytes(h);
    if (n == 0) return 0;
    std::array<uint8_t, 4 * 255> scratch;
    return net_recv_all(c.conn_socket, scratch.data(), n);
}

} // namespace

int recv_pdu(iscsi_conn& c, rx_pdu& out) {
    out.data.reset();
    out.len = 0;
    if (net_recv_all(c.conn_socket, out.hdr.data(), k_bhs_size) != 0) return k_conn_lost;
    if (skip_ahs(c, out.hdr) != 0) return k_conn_lost;
    // A segment beyond the limit the login declared is a protocol error (RFC 7143 lets the
    // target end the connection); it must never decide how much the process allocates.
    if (bhs_data_len(out.hdr) > k_declared_recv_dsl) return k_conn_lost;
    const uint32_t wire = padded(bhs_data_len(out.hdr));
    if (wire == 0) return 0;
    out.data.reset(static_cast<uint8_t*>(std::malloc(wire)));
    if (!out.data) return k_conn_lost;
    out.len = bhs_data_len(out.hdr);
    return net_recv_all(c.conn_socket, out.data.get(), wire);
}

int send_pdu(iscsi_conn& c, bhs& hdr, const uint8_t* data, uint32_t len) {
    bhs_set_data_len(hdr, len);
    const uint32_t pad = padded(len) - len;
    if (len <= k_answer_size) {
        // Small answers leave in one send, so header and data travel in one segment.
        std::array<uint8_t, k_bhs_size + k_answer_size + 3> out;
        std::copy(hdr.begin(), hdr.end(), out.begin());
        if (len != 0) std::copy(data, data + len, out.begin() + k_bhs_size);
        std::fill_n(out.begin() + k_bhs_size + len, pad, 0);
        return net_send_all(c.conn_socket, out.data(), k_bhs_size + len + pad);
    }
    static constexpr uint8_t k_zeros[3] = {};
    if (net_send_all(c.conn_socket, hdr.data(), k_bhs_size) != 0) return k_conn_lost;
    if (net_send_all(c.conn_socket, data, len) != 0) return k_conn_lost;
    return pad == 0 ? 0 : net_send_all(c.conn_socket, k_zeros, pad);
}

bhs answer_header(opcode op, uint8_t flags, uint32_t itt) {
    bhs h{};
    bhs_set_opcode(h, op);
    bhs_set_flags(h, flags);
    bhs_set_itt(h, itt);
    return h;
}

uint32_t exp_cmd_sn_after(const bhs& req) {
    // "CmdSN is not advanced after a command marked for immediate delivery" (RFC 7143);
    // initiators refuse a target whose ExpCmdSN runs ahead of their own count.
    return bhs_cmd_sn(req) + (bhs_immediate(req) ? 0u : 1u);
}

void note_cmd_sn(iscsi_conn& c, const bhs& req) {
    c.exp_cmd_sn = exp_cmd_sn_after(req);
    c.max_cmd_sn = c.exp_cmd_sn + k_cmd_window - 1;
}

void stamp_sequence(const iscsi_conn& c, bhs& hdr) {
    bhs_set_stat_sn(hdr, c.stat_sn);
    bhs_set_exp_cmd_sn(hdr, c.exp_cmd_sn);
    bhs_set_max_cmd_sn(hdr, c.max_cmd_sn);
}

void stamp_status(iscsi_conn& c, bhs& hdr) {
    stamp_sequence(c, hdr);
    ++c.stat_sn;
}

int answer_nop_out(iscsi_conn& c, const rx_pdu& nop, bool in_data_phase) {
    // Inside a data phase the window stays where the write left it: commands kept there
    // have not been taken on yet.
    if (!in_data_phase) note_cmd_sn(c, nop.hdr);
    if (bhs_itt(nop.hdr) == k_reserved_tag) return 0; // not a ping: no answer
    bhs h = answer_header(op_nop_in, k_flag_final, bhs_itt(nop.hdr));
    bhs_copy_lun(h, nop.hdr);
    bhs_set_ttt(h, k_reserved_tag);
    stamp_status(c, h);
    return send_pdu(c, h, nop.bytes(), nop.len);
}

int send_reject(iscsi_conn& c, const bhs& rejected) {
    bhs h = answer_header(op_reject, k_flag_final, k_reserved_tag);
    bhs_set_response(h, k_reject_protocol_error); // byte 2: the reason
    stamp_status(c, h);
    return send_pdu(c, h, rejected.data(), k_bhs_size);
}

int answer_tmf(iscsi_conn& c, const rx_pdu& req, bool in_data_phase) {
    if (!in_data_phase) note_cmd_sn(c, req.hdr);
    bhs h = answer_header(op_tmf_rsp, k_flag_final, bhs_itt(req.hdr));
    stamp_status(c, h); // response 0: function complete
    return send_pdu(c, h, nullptr, 0);
}

int answer_logout(iscsi_conn& c, const rx_pdu& req, bool in_data_phase) {
    if (!in_data_phase) note_cmd_sn(c, req.hdr);
    bhs h = answer_header(op_logout_rsp, k_flag_final, bhs_itt(req.hdr));
    stamp_status(c, h);
    send_pdu(c, h, nullptr, 0);
    return k_conn_done; // the connection ends after a logout
}

int keep_command(iscsi_conn& c, rx_pdu&& cmd) {
    if (c.kept.size() >= k_kept_max || cmd.len > k_first_burst) return k_conn_refused;
    c.kept.push_back(kept_command{std::move(cmd), {}, 0});
    c.kept.back().data_bytes = c.kept.back().cmd.len;
    return 0;
}

int keep_data_out(iscsi_conn& c, rx_pdu& p) {
    const uint32_t itt = bhs_itt(p.hdr);
    for (kept_command& k : c.kept) {
        if (bhs_itt(k.cmd.hdr) != itt) continue;
        // Immediate and unsolicited data of one command stay within FirstBurstLength.
        if (k.data_bytes + p.len > k_first_burst) return k_conn_refused;
        k.data_bytes += p.len;
        k.data_out.push_back(std::move(p));
        return 1;
    }
    return 0;
}
