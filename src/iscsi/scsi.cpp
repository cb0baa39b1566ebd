// SCSI command execution for the one LUN: identity and capacity answers, cache flush.
#include <algorithm>

#include "state/device_identity.h"
#include "store/cache.h"
#include "iscsi/answer.h"
#include "iscsi/conn.h"

namespace {

constexpr const char k_revision[] = "1.0 ";
constexpr const char k_serial[] = "VKNV000000000001";

template <std::size_t N>
constexpr void put_text(std::array<uint8_t, N>& a, std::size_t at, const char* text) {
    for (std::size_t i = 0; text[i] != 0; ++i)
        a[at + i] = static_cast<uint8_t>(text[i]);
}

constexpr std::array<uint8_t, 36> standard_inquiry() {
    std::array<uint8_t, 36> d{};
    d[2] = 0x05; // SPC-3
    d[3] = 0x02; // response data format 2
    d[4] = 31;   // additional length
    put_text(d, 8, k_device_vendor);
    put_text(d, 16, k_device_product);
    put_text(d, 32, k_revision);
    return d;
}

constexpr std::array<uint8_t, 20> vpd_unit_serial() {
    std::array<uint8_t, 20> d{0x00, 0x80, 0x00, 0x10};
    put_text(d, 4, k_serial);
    return d;
}

// One designator: T10 vendor ID based (type 1), ASCII, naming the logical unit.
constexpr std::array<uint8_t, 32> vpd_device_identification() {
    std::array<uint8_t, 32> d{0x00, 0x83, 0x00, 0x1C, 0x01, 0x01, 0x00, 0x18};
    put_text(d, 8, k_device_vendor);
    put_text(d, 16, k_serial);
    return d;
}

constexpr auto k_standard_inquiry = standard_inquiry();
constexpr std::array<uint8_t, 7> k_vpd_supported_pages = {0x00, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83};
constexpr auto k_vpd_unit_serial = vpd_unit_serial();
constexpr auto k_vpd_device_identification = vpd_device_identification();
// No block descriptors and no pages, whatever the CDB asks for; never write-protected.
constexpr std::array<uint8_t, 4> k_mode_sense6 = {0x03, 0x00, 0x00, 0x00};
constexpr std::array<uint8_t, 8> k_mode_sense10 = {0x00, 0x07};
// One LUN, 0, whatever LUN the command was addressed to.
constexpr std::array<uint8_t, 16> k_report_luns = {0x00, 0x00, 0x00, 0x08};

struct byte_view {
    const uint8_t* data;
    uint32_t len;
};

struct vpd_page {
    uint8_t code;
    byte_view page;
};

template <std::size_t N>
constexpr byte_view view_of(const std::array<uint8_t, N>& a) {
    return {a.data(), static_cast<uint32_t>(N)};
}

constexpr vpd_page k_vpd_pages[] = {
    {0x00, view_of(k_vpd_supported_pages)},
    {0x80, view_of(k_vpd_unit_serial)},
    {0x83, view_of(k_vpd_device_identification)},
};

const uint8_t* cdb_of(const rx_pdu& cmd) {
    return bhs_cdb(cmd.hdr);
}

// Allocation length from the CDB; 0 there means the command's Expected Data Transfer Length.
uint32_t alloc_or_edtl(const rx_pdu& cmd, uint32_t alloc) {
    return alloc != 0 ? alloc : bhs_edtl(cmd.hdr);
}

// Data cut to the allocation length, no residual reported. An answer of no bytes is a plain
// GOOD: initiators refuse a Data-In PDU without data.
int send_data_answer(iscsi_conn& c, const rx_pdu& cmd, byte_view data, uint32_t alloc) {
    const uint32_t n = std::min(data.len, alloc);
    if (n == 0) return send_good(c, bhs_itt(cmd.hdr));
    return send_data_in(c, bhs_itt(cmd.hdr), data.data, n);
}

int answer_good(iscsi_conn& c, const rx_pdu& cmd) {
    return send_good(c, bhs_itt(cmd.hdr));
}

int request_sense(iscsi_conn& c, const rx_pdu& cmd) {
    static constexpr sense_data k_no_sense = fixed_sense(k_key_no_sense, 0);
    return send_data_answer(c, cmd, view_of(k_no_sense), cdb_of(cmd)[4]);
}

int inquiry(iscsi_conn& c, const rx_pdu& cmd) {
    const uint8_t* cdb = cdb_of(cmd);
    const uint32_t alloc = alloc_or_edtl(cmd, load_be16(cdb + 3));
    if ((cdb[1] & 0x01) == 0) return send_data_answer(c, cmd, view_of(k_standard_inquiry), alloc);
    for (const vpd_page& p : k_vpd_pages)
        if (p.code == cdb[2]) return send_data_answer(c, cmd, p.page, alloc);
    return send_check_condition(c, bhs_itt(cmd.hdr), k_key_illegal_request,
                                k_asc_invalid_field_in_cdb);
}

int mode_sense6(iscsi_conn& c, const rx_pdu& cmd) {
    return send_data_answer(c, cmd, view_of(k_mode_sense6), alloc_or_edtl(cmd, cdb_of(cmd)[4]));
}

int mode_sense10(iscsi_conn& c, const rx_pdu& cmd) {
    const uint32_t alloc = alloc_or_edtl(cmd, load_be16(cdb_of(cmd) + 7));
    return send_data_answer(c, cmd, view_of(k_mode_sense10), alloc);
}

int read_capacity10(iscsi_conn& c, const rx_pdu& cmd) {
    std::array<uint8_t, 8> d{};
    const uint64_t blocks = g_bc.block_count;
    // A last LBA that does not fit says "use READ CAPACITY (16)".
    store_be32(&d[0], blocks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(blocks - 1));
    store_be32(&d[4], k_block_size);
    return send_data_in(c, bhs_itt(cmd.hdr), d.data(), static_cast<uint32_t>(d.size()));
}

int read_capacity16(iscsi_conn& c, const rx_pdu& cmd) {
    std::array<uint8_t, 32> d{};
    store_be64(&d[0], g_bc.block_count != 0 ? g_bc.block_count - 1 : 0);
    store_be32(&d[8], k_block_size);
    return send_data_answer(c, cmd, view_of(d), alloc_or_edtl(cmd, load_be32(cdb_of(cmd) + 10)));
}

int service_action_in(iscsi_conn& c, const rx_pdu& cmd) {
    constexpr uint8_t k_read_capacity16 = 0x10;
    if ((cdb_of(cmd)[1] & 0x1F) == k_read_capacity16) return read_capacity16(c, cmd);
    return send_good(c, bhs_itt(cmd.hdr));
}

int report_luns(iscsi_conn& c, const rx_pdu& cmd) {
    const uint32_t alloc = alloc_or_edtl(cmd, load_be32(cdb_of(cmd) + 6));
    return send_data_answer(c, cmd, view_of(k_report_luns), alloc);
}

// The whole cache, whatever range or IMMED bit the CDB holds. Data the image did not take
// is reported: the initiator must not believe it is safe.
int synchronize_cache(iscsi_conn& c, const rx_pdu& cmd) {
    if (bc_sync() != 0)
        return send_check_condition(c, bhs_itt(cmd.hdr), k_key_medium_error, k_asc_write_error);
    return send_good(c, bhs_itt(cmd.hdr));
}

using scsi_handler = int (*)(iscsi_conn&, const rx_pdu&);
struct scsi_op {
    uint8_t code;
    scsi_handler run;
};

constexpr scsi_op k_scsi_ops[] = {
    {0x00, answer_good},       // TEST UNIT READY
    {0x03, request_sense},     // REQUEST SENSE: never any sense held
    {0x08, scsi_read},         // READ (6)
    {0x0A, scsi_write},        // WRITE (6)
    {0x12, inquiry},           // INQUIRY
    {0x1A, mode_sense6},       // MODE SENSE (6)
    {0x1B, answer_good},       // START STOP UNIT: nothing to spin
    {0x25, read_capacity10},   // READ CAPACITY (10)
    {0x28, scsi_read},         // READ (10)
    {0x2A, scsi_write},        // WRITE (10)
    {0x2F, answer_good},       // VERIFY (10): nothing read
    {0x35, synchronize_cache}, // SYNCHRONIZE CACHE (10)
    {0x5A, mode_sense10},      // MODE SENSE (10)
    {0x88, scsi_read},         // READ (16)
    {0x8A, scsi_write},        // WRITE (16)
    {0x91, synchronize_cache}, // SYNCHRONIZE CACHE (16)
    {0x9E, service_action_in}, // SERVICE ACTION IN (16)
    {0xA0, report_luns},       // REPORT LUNS
};

} // namespace

int scsi_command(iscsi_conn& c, const rx_pdu& cmd) {
    // Taken before the command runs, so its Data-In, R2T and Response PDUs all carry it.
    note_cmd_sn(c, cmd.hdr);
    const uint8_t code = cdb_of(cmd)[0];
    for (const scsi_op& op : k_scsi_ops)
        if (op.code == code) return op.run(c, cmd);
    return send_check_condition(c, bhs_itt(cmd.hdr), k_key_illegal_request, k_asc_invalid_opcode);
}
