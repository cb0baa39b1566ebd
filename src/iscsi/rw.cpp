// READ and WRITE (6), (10), (16) against the block cache, with the R2T data phase of a write.
#include <algorithm>

#include "state/state.h"
#include "store/cache.h"
#include "iscsi/answer.h"
#include "iscsi/conn.h"

namespace {

constexpr uint32_t k_ttt_base = 0x52325400; // "R2T" and the R2TSN's low byte

struct block_range {
    uint64_t lba = 0;
    uint64_t blocks = 0;
};

// The CDB alone decides how much moves; the PDU's Expected Data Transfer Length does not.
block_range decode_range(const uint8_t* cdb) {
    block_range r;
    switch (cdb[0] >> 5) { // the CDB group gives its length
    case 0:                // 6 bytes: 21-bit LBA; a length of 0 means 256 blocks
        r.lba = (cdb[1] & 0x1Fu) << 16 | load_be16(cdb + 2);
        r.blocks = cdb[4] != 0 ? cdb[4] : 256;
        break;
    case 1: // 10 bytes
        r.lba = load_be32(cdb + 2);
        r.blocks = load_be16(cdb + 7);
        break;
    default: // 16 bytes
        r.lba = load_be64(cdb + 2);
        r.blocks = load_be32(cdb + 10);
        break;
    }
    return r;
}

// 0 when the range is inside the disk (no wrap-around) and its byte count fits the 32-bit
// data path; else the additional sense code to refuse the command with.
uint8_t range_refusal(const block_range& r) {
    const uint64_t n = g_bc.block_count;
    if (r.lba > n || r.blocks > n - r.lba) return k_asc_lba_out_of_range;
    if (r.blocks * k_block_size > UINT32_MAX) return k_asc_invalid_field_in_cdb;
    return 0;
}

// The piece of a READ at pos: up to the end of its chunk or of the READ.
uint32_t piece_at(uint64_t pos, uint64_t end) {
    const uint64_t chunk_end = (pos | (k_chunk_size - 1)) + 1;
    return static_cast<uint32_t>(std::min(end, chunk_end) - pos);
}

// Bytes in the last Data-In PDU of a piece of n > 0 bytes.
uint32_t last_pdu_len(uint32_t n, uint32_t limit) {
    const uint32_t rest = n % limit;
    return rest == 0 ? limit : rest;
}

// One of the connection's two READ buffers (a chunk each); nullptr when it cannot be made.
uint8_t* read_buffer(iscsi_conn& c, int which) {
    seg_buffer& b = c.read_buf[which];
    if (!b) b.reset(static_cast<uint8_t*>(std::malloc(k_chunk_size)));
    return b.get();
}

// A write waiting for its data.
struct write_job {
    const rx_pdu* cmd = nullptr;
    uint32_t itt = 0;
    uint64_t offset = 0;   // byte offset on the disk
    uint32_t total = 0;    // bytes the CDB asks to write
    uint64_t received = 0; // bytes that came, wherever they were placed
    uint32_t r2t_sn = 0;
    bool cache_failed = false;
    bool out_of_order = false;
};

constexpr uint8_t k_tmf_abort_task = 1;
constexpr int k_burst_aborted = 1;

// Places len bytes at buffer offset at. The login declared DataPDUInOrder=Yes, so data must
// come at the next expected offset: a duplicated, overlapping or skipping segment would let a
// write end with a hole, so it fails the command instead. Such a segment, or one reaching
// beyond the command's range, is dropped but counted: data never lands outside what the
// command addressed, and the data phase still ends.
void take_data(write_job& w, uint32_t at, const uint8_t* data, uint32_t len) {
    if (at != w.received) w.out_of_order = true;
    w.received += len;
    if (len == 0 || w.cache_failed || w.out_of_order || static_cast<uint64_t>(at) + len > w.total)
        return;
    if (bc_write(w.offset + at, data, len) != 0) w.cache_failed = true;
}

// A Data-Out of this write: true when it ends a burst (F set).
bool take_data_out(write_job& w, const rx_pdu& d) {
    take_data(w, bhs_buffer_offset(d.hdr), d.bytes(), d.len);
    return bhs_final(d.hdr);
}

// A Data-Out that is not this write's: kept with its command, else rejected. 0, or -1.
int other_data_out(iscsi_conn& c, rx_pdu& p) {
    const int kept = keep_data_out(c, p);
    if (kept != 0) return kept > 0 ? k_handled : k_conn_refused;
    return send_reject(c, p.hdr) != 0 ? k_conn_refused : k_handled;
}

// Task Management during the data phase is answered at once: an initiator that gave up on a
// command waits for this answer. An ABORT TASK naming this write ends its data phase, and
// the write then gets no SCSI Response. 0, k_burst_aborted, or -1.
int task_management(iscsi_conn& c, const write_job& w, const rx_pdu& p) {
    if (answer_tmf(c, p, true) != 0) return k_conn_refused;
    const bool aborts_this =
        bhs_tmf_function(p.hdr) == k_tmf_abort_task && bhs_referenced_task_tag(p.hdr) == w.itt;
    return aborts_this ? k_burst_aborted : 0;
}

// Reads PDUs until a Data-Out of this write ends the burst. NOP-Outs and Task Management are
// answered, SCSI commands kept for later, Data-Out of kept commands stays with them, Data-Out
// of no command is rejected; a Logout is answered and ends the connection, as does anything
// else. 0, k_burst_aborted, or -1 to close.
int read_burst(iscsi_conn& c, write_job& w) {
    rx_pdu p;
    for (;;) {
        if (recv_pdu(c, p) != 0) return k_conn_refused;
        int rc = 0;
        switch (bhs_opcode(p.hdr)) {
        case op_data_out:
            if (bhs_itt(p.hdr) != w.itt) {
                rc = other_data_out(c, p);
            } else if (take_data_out(w, p)) {
                return 0;
            }
            break;
        case op_nop_out:
            rc = answer_nop_out(c, p, true) != 0 ? k_conn_refused : k_handled;
            break;
        case op_scsi_cmd:
            rc = keep_command(c, std::move(p));
            break;
        case op_tmf_req:
            rc = task_management(c, w, p);
            break;
        case op_logout_req:
            answer_logout(c, p, true);
            return k_conn_refused;
        default:
            return k_conn_refused;
        }
        if (rc != 0) return rc;
    }
}

int send_r2t(iscsi_conn& c, const write_job& w) {
    const auto at = static_cast<uint32_t>(w.received);
    bhs h = answer_header(op_r2t, k_flag_final, w.itt);
    bhs_copy_lun(h, w.cmd->hdr);
    bhs_set_ttt(h, k_ttt_base + w.r2t_sn);
    stamp_sequence(c, h);
    bhs_set_r2t_sn(h, w.r2t_sn);
    bhs_set_buffer_offset(h, at);
    bhs_set_desired_length(h, std::min(w.total - at, k_max_burst));
    return send_pdu(c, h, nullptr, 0);
}

// The unsolicited Data-Out that a command without F announced: what came while it was kept,
// then the rest of that burst. 0, k_burst_aborted, or -1 to close.
int receive_unsolicited(iscsi_conn& c, write_job& w) {
    bool unsolicited = !bhs_final(w.cmd->hdr);
    for (const rx_pdu& d : c.early_data_out)
        if (take_data_out(w, d)) unsolicited = false;
    return unsolicited ? read_burst(c, w) : 0;
}

// Everything after the immediate data: the unsolicited burst, then one R2T burst after
// another until the CDB's byte count has come. 0, k_burst_aborted, or -1 to close.
int receive_write_data(iscsi_conn& c, write_job& w) {
    if (int rc = receive_unsolicited(c, w); rc != 0) return rc;
    for (; w.received < w.total; ++w.r2t_sn) {
        if (send_r2t(c, w) != 0) return k_conn_refused;
        if (int rc = read_burst(c, w); rc != 0) return rc;
    }
    return 0;
}

} // namespace

int scsi_read(iscsi_conn& c, const rx_pdu& cmd) {
    const uint32_t itt = bhs_itt(cmd.hdr);
    const block_range r = decode_range(bhs_cdb(cmd.hdr));
    if (uint8_t asc = range_refusal(r); asc != 0)
        return send_check_condition(c, itt, k_key_illegal_request, asc);
    const uint64_t end = (r.lba + r.blocks) * k_block_size;
    uint64_t pos = r.lba * k_block_size;
    if (pos == end) return send_good(c, itt);
    uint8_t* cur = read_buffer(c, 0);
    if (cur == nullptr) return send_scsi_response(c, itt, k_status_check_condition, nullptr, 0);
    uint32_t n = piece_at(pos, end);
    if (bc_read(pos, cur, n) != 0)
        return send_check_condition(c, itt, k_key_hardware_error, k_asc_unrecovered_read_error);
    data_in_cursor at;
    for (int half = 0;; half ^= 1) {
        if (pos + n == end)
            return send_data_in_pdus(c, itt, cur, n, at, k_flag_final | k_flag_status);
        // The last PDU of this piece waits until the next piece is in: only then is it known
        // whether the sequence ends here.
        const uint32_t head = n - last_pdu_len(n, c.max_recv_dsl);
        if (send_data_in_pdus(c, itt, cur, head, at, 0) != 0) return k_conn_lost;
        if (!g_running.load()) return k_conn_refused; // a stop ends the connection between pieces
        const uint64_t next_pos = pos + n;
        const uint32_t m = piece_at(next_pos, end);
        uint8_t* next = read_buffer(c, half ^ 1);
        if (next == nullptr || bc_read(next_pos, next, m) != 0) {
            if (send_data_in_pdus(c, itt, cur + head, n - head, at, k_flag_final) != 0)
                return k_conn_lost;
            return send_check_condition(c, itt, k_key_hardware_error, k_asc_unrecovered_read_error);
        }
        if (send_data_in_pdus(c, itt, cur + head, n - head, at, 0) != 0) return k_conn_lost;
        cur = next;
        pos = next_pos;
        n = m;
    }
}

int scsi_write(iscsi_conn& c, const rx_pdu& cmd) {
    const uint32_t itt = bhs_itt(cmd.hdr);
    const block_range r = decode_range(bhs_cdb(cmd.hdr));
    if (uint8_t asc = range_refusal(r); asc != 0)
        return send_check_condition(c, itt, k_key_illegal_request, asc);
    write_job w;
    w.cmd = &cmd;
    w.itt = itt;
    w.offset = r.lba * k_block_size;
    w.total = static_cast<uint32_t>(r.blocks * k_block_size);
    // An initiator sends nothing beyond its Expected Data Transfer Length, so an R2T past it
    // would leave both sides waiting for each other forever: refuse such a write, dropping
    // whatever data it did announce so that the framing holds.
    if (w.total > bhs_edtl(cmd.hdr)) {
        w.total = 0;
        if (int rc = receive_unsolicited(c, w); rc != 0)
            return rc == k_burst_aborted ? k_handled : k_conn_refused;
        return send_check_condition(c, itt, k_key_illegal_request, k_asc_invalid_field_in_cdb);
    }
    // Immediate data beyond the byte count is ignored.
    take_data(w, 0, cmd.bytes(), std::min(cmd.len, w.total));
    if (cmd.len < w.total) {
        if (int rc = receive_write_data(c, w); rc != 0)
            return rc == k_burst_aborted ? k_handled : k_conn_refused;
    }
    if (w.out_of_order)
        return send_check_condition(c, itt, k_key_aborted_command, k_asc_data_phase_error,
                                    k_ascq_data_offset_error);
    if (w.cache_failed) return send_check_condition(c, itt, k_key_medium_error, k_asc_write_error);
    return send_good(c, itt);
}
