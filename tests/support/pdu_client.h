// A small raw-socket iSCSI initiator for the target's protocol tests: builds PDUs byte by
// byte, sends them exactly as built and hands back what the target sent, padding included.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/sys.h"
#include "support/temp_dir.h"

constexpr uint32_t k_no_tag = 0xFFFFFFFF;

// One PDU: header and data segment (DataSegmentLength bytes, padding kept apart).
struct pdu {
    std::array<uint8_t, 48> hdr{};
    std::vector<uint8_t> data;
    std::vector<uint8_t> pad; // the padding bytes as they came

    uint8_t opcode() const { return hdr[0] & 0x3F; }
    uint8_t flags() const { return hdr[1]; }
    uint32_t u16(std::size_t at) const;
    uint32_t u32(std::size_t at) const;
    void set_u16(std::size_t at, uint32_t v);
    void set_u32(std::size_t at, uint32_t v);
    uint32_t data_len() const; // bytes 5-7
    uint32_t itt() const { return u32(16); }
    uint32_t ttt() const { return u32(20); }
    uint32_t stat_sn() const { return u32(24); }
    uint32_t exp_cmd_sn() const { return u32(28); }
    uint32_t max_cmd_sn() const { return u32(32); }
    uint32_t data_sn() const { return u32(36); }
    uint32_t buffer_offset() const { return u32(40); }
    uint32_t desired_length() const { return u32(44); }
    std::string text() const { return std::string(data.begin(), data.end()); }
};

// "k=v" entries, each followed by a zero byte, as a text data segment.
std::vector<uint8_t> kv_text(std::initializer_list<std::string> entries);
// A text data segment split back into its entries.
std::vector<std::string> kv_entries(const std::vector<uint8_t>& data);

// The 18 bytes of fixed-format sense data the target sends with a CHECK CONDITION.
std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq = 0);

// Serves image (a local mock file, created when missing) on a free loopback port through
// the exports. Returns the port, or 0 after recording a test failure.
uint16_t start_mock_target(const std::string& image, uint64_t size);
// norvaled_stop and norvaled_disconnect; the stop's status.
int32_t stop_mock_target();

class pdu_client {
  public:
    pdu_client() = default;
    explicit pdu_client(uint16_t port) { connect(port); }

    bool connect(uint16_t port); // to 127.0.0.1
    bool connected() const { return static_cast<bool>(sock_); }
    void close() { sock_.reset(); }
    sock_t sock() const { return sock_.get(); }

    // Sends p with bytes 5-7 set from its data and zero padding added: true when all went.
    bool send(pdu p);
    bool send_raw(const void* bytes, std::size_t len);

    // The next PDU within ms: false when the connection closed, timed out or broke off.
    bool recv(pdu& out, int ms = 5000);
    // The next PDU; when none came, a test failure and an all-zero PDU.
    pdu expect(int ms = 5000);
    // True when the target closes the connection within ms without sending anything.
    bool closed_within(int ms = 5000);
    // True when nothing at all arrives within ms and the connection stays open.
    bool silent_for(int ms);

    // Request builders: ITT from the client's counter, CmdSN as given by cmd_sn (which a
    // non-immediate request advances).
    pdu login_request(uint8_t flags, std::vector<uint8_t> keys);
    pdu scsi_command(std::initializer_list<uint8_t> cdb, uint32_t edtl, uint8_t flags = 0xC0);
    pdu data_out(uint32_t itt, uint32_t ttt, uint32_t data_sn, uint32_t offset,
                 std::vector<uint8_t> data, bool final);
    pdu nop_out(uint32_t itt, std::vector<uint8_t> data = {});

    // Two-stage logins that must succeed; the operational-stage answer.
    pdu login_normal(uint32_t max_recv_dsl = 8192);
    pdu login_discovery();

    // Runs a command whose answer is a Data-In sequence ending with status, or a SCSI
    // Response: the data, with the SCSI status in *status (0xFF when the answer broke).
    std::vector<uint8_t> run(const pdu& cmd, uint8_t* status = nullptr,
                             std::vector<uint8_t>* sense = nullptr);
    // WRITE (10) of data at lba through immediate data and R2T bursts: the status.
    uint8_t write10(uint32_t lba, const std::vector<uint8_t>& data, uint32_t immediate = 0);
    // READ (10): the data, which must come with status GOOD.
    std::vector<uint8_t> read10(uint32_t lba, uint32_t blocks);

    uint32_t cmd_sn = 0;
    uint32_t next_itt = 1;

  private:
    unique_sock sock_;
};

constexpr uint64_t k_raw_disk_size = 64ull << 20;

// A target serving a fresh mock image from a scratch directory, and one client connected
// (not logged in) to it. Each TEST runs in its own process, so the target starts fresh.
class RawTargetTest : public ::testing::Test {
  protected:
    void SetUp() override { serve(); }
    void TearDown() override;
    // Starts the target on image (default: disk.img in the scratch directory) and connects
    // c_; a fatal test failure when either fails.
    void serve(uint64_t size = k_raw_disk_size, const std::string& image = "");
    // A second client, connected and logged in to a normal session.
    bool reconnect(pdu_client& client, uint32_t max_recv_dsl = 8192);

    scoped_dir dir_{temp_dir()};
    std::string image_;
    uint16_t port_ = 0;
    pdu_client c_;
};
