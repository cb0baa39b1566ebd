// The 48-byte Basic Header Segment that starts every iSCSI PDU (RFC 7143), by field name.
// Handlers never index header bytes themselves: every field they touch is named here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr std::size_t k_bhs_size = 48;
using bhs = std::array<uint8_t, k_bhs_size>;

// Opcodes, byte 0 bits 0-5.
enum opcode : uint8_t {
    op_nop_out = 0x00,
    op_scsi_cmd = 0x01,
    op_tmf_req = 0x02,
    op_login_req = 0x03,
    op_text_req = 0x04,
    op_data_out = 0x05,
    op_logout_req = 0x06,
    op_nop_in = 0x20,
    op_scsi_rsp = 0x21,
    op_tmf_rsp = 0x22,
    op_login_rsp = 0x23,
    op_text_rsp = 0x24,
    op_data_in = 0x25,
    op_logout_rsp = 0x26,
    op_r2t = 0x31,
    op_reject = 0x3F,
};

constexpr uint32_t k_reserved_tag = 0xFFFFFFFF; // "no task" ITT, "no transfer" TTT
constexpr uint8_t k_flag_final = 0x80;          // byte 1: F, or T in a login
constexpr uint8_t k_flag_status = 0x01;         // byte 1 of a Data-In: S, status included
constexpr uint8_t k_flag_immediate = 0x40;      // byte 0 of a request: I
constexpr uint8_t k_reject_protocol_error = 0x04;

// Big-endian fields.
inline uint32_t load_be16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}
inline uint32_t load_be24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
inline uint32_t load_be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint64_t load_be64(const uint8_t* p) {
    return static_cast<uint64_t>(load_be32(p)) << 32 | load_be32(p + 4);
}
inline void store_be16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void store_be24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    store_be16(p + 1, v);
}
inline void store_be32(uint8_t* p, uint32_t v) {
    store_be16(p, v >> 16);
    store_be16(p + 2, v);
}
inline void store_be64(uint8_t* p, uint64_t v) {
    store_be32(p, static_cast<uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<uint32_t>(v));
}

// Fields common to every PDU.
inline uint8_t bhs_opcode(const bhs& h) {
    return h[0] & 0x3F;
}
inline bool bhs_immediate(const bhs& h) {
    return (h[0] & k_flag_immediate) != 0;
}
inline uint8_t bhs_flags(const bhs& h) {
    return h[1];
}
inline bool bhs_final(const bhs& h) {
    return (h[1] & k_flag_final) != 0;
}
inline uint32_t bhs_ahs_bytes(const bhs& h) {
    return 4u * h[4]; // TotalAHSLength counts 4-byte words
}
inline uint32_t bhs_data_len(const bhs& h) {
    return load_be24(&h[5]);
}
inline uint32_t bhs_itt(const bhs& h) {
    return load_be32(&h[16]);
}
inline uint32_t bhs_cmd_sn(const bhs& h) {
    return load_be32(&h[24]);
}

inline void bhs_set_opcode(bhs& h, opcode op) {
    h[0] = op;
}
inline void bhs_set_flags(bhs& h, uint8_t flags) {
    h[1] = flags;
}
inline void bhs_set_data_len(bhs& h, uint32_t len) {
    h[4] = 0; // answers never carry an additional header segment
    store_be24(&h[5], len);
}
inline void bhs_copy_lun(bhs& h, const bhs& from) {
    std::memcpy(&h[8], &from[8], 8);
}
inline void bhs_set_itt(bhs& h, uint32_t itt) {
    store_be32(&h[16], itt);
}
inline void bhs_set_ttt(bhs& h, uint32_t ttt) {
    store_be32(&h[20], ttt);
}
inline void bhs_set_stat_sn(bhs& h, uint32_t sn) {
    store_be32(&h[24], sn);
}
inline void bhs_set_exp_cmd_sn(bhs& h, uint32_t sn) {
    store_be32(&h[28], sn);
}
inline void bhs_set_max_cmd_sn(bhs& h, uint32_t sn) {
    store_be32(&h[32], sn);
}

// SCSI Command: byte 1 F (no unsolicited Data-Out follows), bytes 20-23 Expected Data
// Transfer Length, bytes 32-47 the CDB.
constexpr std::size_t k_cdb_size = 16;
inline uint32_t bhs_edtl(const bhs& h) {
    return load_be32(&h[20]);
}
inline const uint8_t* bhs_cdb(const bhs& h) {
    return &h[32];
}

// SCSI Response: byte 2 response, byte 3 status.
inline void bhs_set_response(bhs& h, uint8_t response) {
    h[2] = response;
}
inline void bhs_set_status(bhs& h, uint8_t status) {
    h[3] = status;
}

// Data-In, Data-Out and R2T: bytes 36-39 DataSN or R2TSN, 40-43 Buffer Offset, 44-47 the
// Residual Count (Data-In) or Desired Data Transfer Length (R2T).
// Task Management request: the function (byte 1, bits 0-6) and the Referenced Task Tag.
inline uint8_t bhs_tmf_function(const bhs& h) {
    return h[1] & 0x7F;
}
inline uint32_t bhs_referenced_task_tag(const bhs& h) {
    return load_be32(&h[20]);
}
inline uint32_t bhs_buffer_offset(const bhs& h) {
    return load_be32(&h[40]);
}
inline void bhs_set_data_sn(bhs& h, uint32_t sn) {
    store_be32(&h[36], sn);
}
inline void bhs_set_r2t_sn(bhs& h, uint32_t sn) {
    store_be32(&h[36], sn);
}
inline void bhs_set_buffer_offset(bhs& h, uint32_t offset) {
    store_be32(&h[40], offset);
}
inline void bhs_set_desired_length(bhs& h, uint32_t len) {
    store_be32(&h[44], len);
}

// Login: byte 1 T, C, CSG (bits 2-3) and NSG (bits 0-1); ISID 8-13; TSIH 14-15; status
// class and detail 36-37.
constexpr uint8_t k_login_transit = 0x80;
constexpr uint8_t k_login_continue = 0x40;
constexpr uint8_t k_stage_full_feature = 3;
inline uint8_t bhs_login_csg(const bhs& h) {
    return (h[1] >> 2) & 3;
}
inline uint8_t bhs_login_nsg(const bhs& h) {
    return h[1] & 3;
}
inline bool bhs_login_transit(const bhs& h) {
    return (h[1] & k_login_transit) != 0;
}
inline void bhs_copy_isid(bhs& h, const bhs& from) {
    std::memcpy(&h[8], &from[8], 6);
}
inline void bhs_set_tsih(bhs& h, uint16_t tsih) {
    store_be16(&h[14], tsih);
}
inline void bhs_set_login_status(bhs& h, uint8_t status_class, uint8_t detail) {
    h[36] = status_class;
    h[37] = detail;
}
