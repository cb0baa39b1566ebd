// The answers every SCSI command ends with: a Data-In sequence, a SCSI Response.
#include "iscsi/answer.h"

#include <algorithm>

int send_data_in_pdus(iscsi_conn& c, uint32_t itt, const uint8_t* data, uint32_t len,
                      data_in_cursor& at, uint8_t last_flags) {
    const uint32_t limit = c.max_recv_dsl;
    for (uint32_t sent = 0; sent < len;) {
        const uint32_t n = std::min(len - sent, limit);
        const bool last = n == len - sent;
        bhs h = answer_header(op_data_in, last ? last_flags : 0, itt);
        bhs_set_ttt(h, k_reserved_tag);
        if (last && (last_flags & k_flag_status) != 0)
            stamp_status(c, h); // status GOOD (byte 3 zero) rides on the last PDU
        else
            stamp_sequence(c, h);
        bhs_set_data_sn(h, at.data_sn++);
        bhs_set_buffer_offset(h, at.offset);
        if (send_pdu(c, h, data + sent, n) != 0) return k_conn_lost;
        sent += n;
        at.offset += n;
    }
    return 0;
}

int send_data_in(iscsi_conn& c, uint32_t itt, const uint8_t* data, uint32_t len) {
    data_in_cursor at;
    return send_data_in_pdus(c, itt, data, len, at, k_flag_final | k_flag_status);
}

int send_scsi_response(iscsi_conn& c, uint32_t itt, uint8_t status, const uint8_t* sense,
                       int has_sense) {
    bhs h = answer_header(op_scsi_rsp, k_flag_final, itt);
    bhs_set_status(h, status);
    stamp_status(c, h);
    if (sense == nullptr || !has_sense) return send_pdu(c, h, nullptr, 0);
    std::array<uint8_t, 2 + k_sense_size> seg{};
    store_be16(&seg[0], k_sense_size); // SenseLength, then the sense bytes
    std::copy(sense, sense + k_sense_size, seg.begin() + 2);
    return send_pdu(c, h, seg.data(), static_cast<uint32_t>(seg.size()));
}

int send_check_condition(iscsi_conn& c, uint32_t itt, uint8_t sense_key, uint8_t asc,
                         uint8_t ascq) {
    const sense_data s = fixed_sense(sense_key, asc, ascq);
    return send_scsi_response(c, itt, k_status_check_condition, s.data(), 1);
}

int send_good(iscsi_conn& c, uint32_t itt) {
    return send_scsi_response(c, itt, k_status_good, nullptr, 0);
}
