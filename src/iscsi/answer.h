// The answer routines that the SCSI commands share (scsi.cpp, rw.cpp), and the status and
// sense values they report.
#pragma once

#include <array>
#include <cstdint>

#include "iscsi/conn.h"

// SCSI status bytes, sense keys and additional sense codes the target reports.
constexpr uint8_t k_status_good = 0x00;
constexpr uint8_t k_status_check_condition = 0x02;
constexpr uint8_t k_key_no_sense = 0x0;
constexpr uint8_t k_key_hardware_error = 0x4;
constexpr uint8_t k_key_medium_error = 0x3;
constexpr uint8_t k_key_illegal_request = 0x5;
constexpr uint8_t k_key_aborted_command = 0xB;
constexpr uint8_t k_asc_write_error = 0x0C;
constexpr uint8_t k_asc_unrecovered_read_error = 0x11;
constexpr uint8_t k_asc_invalid_opcode = 0x20;
constexpr uint8_t k_asc_lba_out_of_range = 0x21;
constexpr uint8_t k_asc_invalid_field_in_cdb = 0x24;
constexpr uint8_t k_asc_data_phase_error = 0x4B; // with ASCQ 0x05: DATA OFFSET ERROR
constexpr uint8_t k_ascq_data_offset_error = 0x05;

constexpr std::size_t k_sense_size = 18;
using sense_data = std::array<uint8_t, k_sense_size>;

constexpr sense_data fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    sense_data s{};
    s[0] = 0x70; // current error, fixed format
    s[2] = key & 0x0F;
    s[7] = 0x0A; // additional sense length
    s[12] = asc;
    s[13] = ascq;
    return s;
}

// Where a Data-In sequence stands: the next DataSN and buffer offset.
struct data_in_cursor {
    uint32_t data_sn = 0;
    uint32_t offset = 0;
};
// Sends len bytes as Data-In PDUs of at most the initiator's limit, moving the cursor. Only
// the last PDU gets last_flags (F and S: status GOOD rides on it; F alone: a SCSI Response
// follows; none: more data follows). Nothing is sent for len 0. 0 or -8.
int send_data_in_pdus(iscsi_conn& c, uint32_t itt, const uint8_t* data, uint32_t len,
                      data_in_cursor& at, uint8_t last_flags);
// A whole answer as one Data-In sequence with status GOOD on its last PDU.
int send_data_in(iscsi_conn& c, uint32_t itt, const uint8_t* data, uint32_t len);
int send_scsi_response(iscsi_conn& c, uint32_t itt, uint8_t status, const uint8_t* sense,
                       int has_sense);
// CHECK CONDITION with fixed-format sense data: 0 or -8.
int send_check_condition(iscsi_conn& c, uint32_t itt, uint8_t sense_key, uint8_t asc,
                         uint8_t ascq = 0);
int send_good(iscsi_conn& c, uint32_t itt);
