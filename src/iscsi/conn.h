// One initiator connection as the target's handlers see it, and the routines they share.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "norvaled.h"
#include "platform/net.h"
#include "iscsi/wire.h"

// What a handler returns to the connection loop; anything but k_handled ends the connection.
constexpr int k_handled = 0;                // answered: read the next request
constexpr int k_conn_done = 1;              // answered, and the connection ends (a logout)
constexpr int k_conn_refused = -1;          // the peer broke the protocol or a limit
constexpr int k_conn_lost = NORVALED_E_NET; // the socket failed, or the segment had no memory

constexpr uint32_t k_default_recv_dsl = 8192;
constexpr uint32_t k_max_burst = 262144;  // the MaxBurstLength the login declares
constexpr uint32_t k_first_burst = 65536; // the FirstBurstLength the login declares
constexpr uint32_t k_declared_recv_dsl = 262144;
constexpr uint32_t k_cmd_window = 32;       // MaxCmdSN - ExpCmdSN + 1
constexpr std::size_t k_answer_size = 1024; // fixed buffer for text and small SCSI data

struct free_deleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using seg_buffer = std::unique_ptr<uint8_t, free_deleter>;

// A received PDU: its header and its data segment (len is the unpadded DataSegmentLength).
struct rx_pdu {
    bhs hdr{};
    seg_buffer data;
    uint32_t len = 0;
    const uint8_t* bytes() const { return data.get(); }
};

// A SCSI command that arrived while a write waited for its data, with any unsolicited
// Data-Out PDUs that came for it before it could run.
struct kept_command {
    rx_pdu cmd;
    std::vector<rx_pdu> data_out;
    uint32_t data_bytes = 0; // immediate plus kept unsolicited data
};

struct iscsi_conn {
    sock_t conn_socket = k_bad_sock;
    uint32_t discovery = 0;
    uint32_t stat_sn = 1;
    uint32_t exp_cmd_sn = 0;
    uint32_t max_cmd_sn = 0;
    uint32_t max_recv_dsl = k_default_recv_dsl;
    uint16_t tsih = 0;
    // Commands kept during a write's data phase, run in arrival order once it is answered.
    std::deque<kept_command> kept;
    // The unsolicited Data-Out PDUs of the command now running that came while it was kept.
    std::vector<rx_pdu> early_data_out;
    // A READ moves through these one cache chunk at a time, filling one while the other's
    // last PDU waits; each is made on first use and kept for the connection's life.
    std::array<seg_buffer, 2> read_buf;
};

// --- transport (pdu.cpp) ---

// Reads one PDU: header, any additional header segment (skipped), padded data segment.
// 0, or -8 when the peer went away or the segment could not be allocated.
int recv_pdu(iscsi_conn& c, rx_pdu& out);
// Fills bytes 4-7 and sends header, data and padding: 0 or -8.
int send_pdu(iscsi_conn& c, bhs& hdr, const uint8_t* data, uint32_t len);

// A zeroed answer header with its opcode, byte 1 and ITT.
bhs answer_header(opcode op, uint8_t flags, uint32_t itt);

// The ExpCmdSN after a request (RFC 7143): an immediate request (I bit) consumes no CmdSN.
uint32_t exp_cmd_sn_after(const bhs& req);
// Moves the command window by the request: ExpCmdSN as above, MaxCmdSN 31 beyond it.
void note_cmd_sn(iscsi_conn& c, const bhs& req);
// StatSN, ExpCmdSN and MaxCmdSN of an answer that carries status; StatSN then advances.
void stamp_status(iscsi_conn& c, bhs& hdr);
// The same fields for a PDU that carries no status (R2T, non-final Data-In).
void stamp_sequence(const iscsi_conn& c, bhs& hdr);

// NOP-In answer to a NOP-Out (none when its ITT is reserved). In a data phase the NOP-Out's
// CmdSN does not move the window.
int answer_nop_out(iscsi_conn& c, const rx_pdu& nop, bool in_data_phase);
// Reject, reason "protocol error", carrying the rejected header: 0 or -8.
int send_reject(iscsi_conn& c, const bhs& rejected);

// What one connection may hold at most, whatever its peer sends: one incoming PDU (its data
// segment refused above k_declared_recv_dsl), at most k_cmd_window commands kept during a
// data phase, each with at most k_first_burst bytes of immediate and unsolicited data, and
// the two chunk buffers of a READ: about 6.3 MiB.
//
// Keeps a SCSI command that arrived during a data phase: 0, or -1 (end the connection) when
// the window is full or its immediate data exceeds FirstBurstLength.
int keep_command(iscsi_conn& c, rx_pdu&& cmd);
// Hands a Data-Out to the kept command with its ITT: 1 taken, 0 when none has it (p
// untouched), -1 (end the connection) when that command's data would exceed FirstBurstLength.
int keep_data_out(iscsi_conn& c, rx_pdu& p);
// Task Management answered "function complete", and Logout answered (then 1: the
// connection ends). In a data phase they do not move the command window.
int answer_tmf(iscsi_conn& c, const rx_pdu& req, bool in_data_phase);
int answer_logout(iscsi_conn& c, const rx_pdu& req, bool in_data_phase);

// --- login and discovery (login.cpp) ---
// The value of key in a text data segment (the first entry "key=..."), read only inside
// the segment; none when absent.
std::optional<std::string_view> kv_find(const uint8_t* data, uint32_t len, std::string_view key);
int login_request(iscsi_conn& c, const rx_pdu& req);
int text_request(iscsi_conn& c, const rx_pdu& req);

// --- SCSI commands (scsi.cpp) ---
int scsi_command(iscsi_conn& c, const rx_pdu& cmd);

// --- block reads and writes (rw.cpp) ---
int scsi_read(iscsi_conn& c, const rx_pdu& cmd);
int scsi_write(iscsi_conn& c, const rx_pdu& cmd);
