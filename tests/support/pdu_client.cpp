#include "support/pdu_client.h"

#include <gtest/gtest.h>
#include <poll.h>

#include "norvaled.h"
#include "support/library_helpers.h"

namespace {

constexpr uint32_t k_io_timeout_ms = 10000;
constexpr uint32_t k_data_out_piece = 8192; // Data-Out segments the client cuts bursts into

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// A fixed ISID: type "random" (0x80) and a few bytes that show up when echoed.
constexpr uint8_t k_isid[6] = {0x80, 0x12, 0x34, 0x56, 0x78, 0x9A};

} // namespace

uint32_t pdu::u16(std::size_t at) const {
    return static_cast<uint32_t>(hdr[at]) << 8 | hdr[at + 1];
}
uint32_t pdu::u32(std::size_t at) const {
    return u16(at) << 16 | u16(at + 2);
}
void pdu::set_u16(std::size_t at, uint32_t v) {
    hdr[at] = static_cast<uint8_t>(v >> 8);
    hdr[at + 1] = static_cast<uint8_t>(v);
}
void pdu::set_u32(std::size_t at, uint32_t v) {
    put_be32(&hdr[at], v);
}
uint32_t pdu::data_len() const {
    return static_cast<uint32_t>(hdr[5]) << 16 | u16(6);
}

std::vector<uint8_t> kv_text(std::initializer_list<std::string> entries) {
    std::vector<uint8_t> out;
    for (const std::string& e : entries) {
        out.insert(out.end(), e.begin(), e.end());
        out.push_back(0);
    }
    return out;
}

std::vector<std::string> kv_entries(const std::vector<uint8_t>& data) {
    std::vector<std::string> out;
    std::string cur;
    for (uint8_t b : data) {
        if (b == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(b);
        }
    }
    if (!cur.empty()) out.push_back(cur + "<no terminator>");
    return out;
}

std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70; // current error, fixed format
    s[2] = key;
    s[7] = 0x0A; // additional sense length
    s[12] = asc;
    s[13] = ascq;
    return s;
}

uint16_t start_mock_target(const std::string& image, uint64_t size) {
    if (norvaled_connect("mock", 0, "u", nullptr) != 0) {
        ADD_FAILURE() << "norvaled_connect: " << norvaled_last_error();
        return 0;
    }
    int port = 0;
    if (start_on_free_port(image, static_cast<int64_t>(size), &port) == 0)
        return static_cast<uint16_t>(port);
    ADD_FAILURE() << "norvaled_start: " << norvaled_last_error();
    return 0;
}

int32_t stop_mock_target() {
    const int32_t rc = norvaled_stop();
    norvaled_disconnect();
    return rc;
}

bool pdu_client::connect(uint16_t port) {
    net_addr addr;
    if (net_resolve_ipv4("127.0.0.1", port, &addr) != 0) return false;
    sock_.reset(net_socket(addr));
    if (!sock_ ||
        net_connect_within(sock_.get(), addr, k_io_timeout_ms) != connect_result::connected) {
        sock_.reset();
        return false;
    }
    net_set_io_timeouts(sock_.get(), k_io_timeout_ms);
    net_set_nodelay(sock_.get());
    return true;
}

bool pdu_client::send(pdu p) {
    const auto len = static_cast<uint32_t>(p.data.size());
    p.hdr[5] = static_cast<uint8_t>(len >> 16);
    p.set_u16(6, len);
    std::vector<uint8_t> wire(p.hdr.begin(), p.hdr.end());
    wire.insert(wire.end(), p.data.begin(), p.data.end());
    wire.resize(wire.size() + (4 - len % 4) % 4, 0);
    return send_raw(wire.data(), wire.size());
}

bool pdu_client::send_raw(const void* bytes, std::size_t len) {
    return connected() && net_send_all(sock_.get(), bytes, len) == 0;
}

bool pdu_client::recv(pdu& out, int ms) {
    if (!connected()) return false;
    pollfd pfd{static_cast<int>(sock_.get()), POLLIN, 0};
    if (poll(&pfd, 1, ms) != 1) return false;
    if (net_recv_all(sock_.get(), out.hdr.data(), out.hdr.size()) != 0) return false;
    const uint32_t len = out.data_len();
    out.data.assign(len, 0);
    out.pad.assign((4 - len % 4) % 4, 0xEE);
    if (out.hdr[4] != 0) return false; // the target never sends additional header segments
    return (len == 0 || net_recv_all(sock_.get(), out.data.data(), len) == 0) &&
           (out.pad.empty() || net_recv_all(sock_.get(), out.pad.data(), out.pad.size()) == 0);
}

pdu pdu_client::expect(int ms) {
    pdu p;
    if (!recv(p, ms)) {
        ADD_FAILURE() << "no PDU from the target within " << ms << " ms";
        return pdu{};
    }
    return p;
}

bool pdu_client::closed_within(int ms) {
    if (!connected()) return false;
    pollfd pfd{static_cast<int>(sock_.get()), POLLIN, 0};
    if (poll(&pfd, 1, ms) != 1) return false;
    uint8_t byte = 0;
    return net_recv(sock_.get(), &byte, 1) <= 0;
}

bool pdu_client::silent_for(int ms) {
    if (!connected()) return false;
    pollfd pfd{static_cast<int>(sock_.get()), POLLIN, 0};
    return poll(&pfd, 1, ms) == 0;
}

pdu pdu_client::login_request(uint8_t flags, std::vector<uint8_t> keys) {
    pdu p;
    p.hdr[0] = 0x43; // Login Request, always immediate
    p.hdr[1] = flags;
    std::copy(std::begin(k_isid), std::end(k_isid), p.hdr.begin() + 8);
    p.set_u32(16, next_itt++);
    p.set_u32(24, cmd_sn); // an immediate request consumes no CmdSN
    p.data = std::move(keys);
    return p;
}

pdu pdu_client::scsi_command(std::initializer_list<uint8_t> cdb, uint32_t edtl, uint8_t flags) {
    pdu p;
    p.hdr[0] = 0x01;
    p.hdr[1] = flags;
    p.set_u32(16, next_itt++);
    p.set_u32(20, edtl);
    p.set_u32(24, cmd_sn++);
    std::copy(cdb.begin(), cdb.end(), p.hdr.begin() + 32);
    return p;
}

pdu pdu_client::data_out(uint32_t itt, uint32_t ttt, uint32_t data_sn, uint32_t offset,
                         std::vector<uint8_t> data, bool final) {
    pdu p;
    p.hdr[0] = 0x05;
    p.hdr[1] = final ? 0x80 : 0x00;
    p.set_u32(16, itt);
    p.set_u32(20, ttt);
    p.set_u32(36, data_sn);
    p.set_u32(40, offset);
    p.data = std::move(data);
    return p;
}

pdu pdu_client::nop_out(uint32_t itt, std::vector<uint8_t> data) {
    pdu p;
    p.hdr[0] = 0x40; // immediate NOP-Out
    p.hdr[1] = 0x80;
    p.set_u32(16, itt);
    p.set_u32(20, k_no_tag);
    p.set_u32(24, cmd_sn);
    p.data = std::move(data);
    return p;
}

pdu pdu_client::login_normal(uint32_t max_recv_dsl) {
    const std::string dsl = "MaxRecvDataSegmentLength=" + std::to_string(max_recv_dsl);
    EXPECT_TRUE(send(
        login_request(0x81, kv_text({"InitiatorName=iqn.2026-08.test:client", "SessionType=Normal",
                                     "TargetName=" NORVALED_TARGET_IQN, "AuthMethod=None"}))));
    pdu security = expect();
    EXPECT_EQ(security.opcode(), 0x23);
    EXPECT_TRUE(send(login_request(0x87, kv_text({dsl, "HeaderDigest=None"}))));
    pdu operational = expect();
    EXPECT_EQ(operational.opcode(), 0x23);
    EXPECT_EQ(operational.u16(36), 0u) << "login refused";
    return operational;
}

pdu pdu_client::login_discovery() {
    EXPECT_TRUE(send(login_request(
        0x81, kv_text({"InitiatorName=iqn.2026-08.test:client", "SessionType=Discovery"}))));
    EXPECT_EQ(expect().opcode(), 0x23);
    EXPECT_TRUE(send(login_request(0x87, kv_text({"HeaderDigest=None"}))));
    pdu operational = expect();
    EXPECT_EQ(operational.opcode(), 0x23);
    return operational;
}

std::vector<uint8_t> pdu_client::run(const pdu& cmd, uint8_t* status, std::vector<uint8_t>* sense) {
    std::vector<uint8_t> data;
    uint8_t got = 0xFF;
    if (!send(cmd)) ADD_FAILURE() << "command not sent";
    for (pdu p; recv(p);) {
        EXPECT_EQ(p.itt(), cmd.itt());
        if (p.opcode() == 0x25) { // Data-In
            EXPECT_EQ(p.buffer_offset(), data.size());
            data.insert(data.end(), p.data.begin(), p.data.end());
            if ((p.flags() & 0x01) == 0) continue;
            got = p.hdr[3];
        } else if (p.opcode() == 0x21) { // SCSI Response
            got = p.hdr[3];
            if (sense != nullptr && p.data.size() >= 2)
                sense->assign(p.data.begin() + 2, p.data.end());
        } else {
            ADD_FAILURE() << "unexpected opcode " << int(p.opcode());
        }
        break;
    }
    if (status != nullptr)
        *status = got;
    else
        EXPECT_EQ(got, 0) << "command status";
    return data;
}

uint8_t pdu_client::write10(uint32_t lba, const std::vector<uint8_t>& data, uint32_t immediate) {
    const auto blocks = static_cast<uint32_t>(data.size() / 512);
    pdu cmd =
        scsi_command({0x2A, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                      static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
                      static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks)},
                     static_cast<uint32_t>(data.size()), 0xA0);
    cmd.data.assign(data.begin(), data.begin() + std::min<std::size_t>(immediate, data.size()));
    if (!send(cmd)) return 0xFF;
    for (pdu p; recv(p);) {
        if (p.opcode() == 0x21) return p.hdr[3];
        if (p.opcode() != 0x31) break;
        // Answer the R2T in pieces, the last one final.
        const uint32_t end = p.buffer_offset() + p.desired_length();
        for (uint32_t at = p.buffer_offset(), sn = 0; at < end; at += k_data_out_piece, ++sn) {
            const uint32_t n = std::min(k_data_out_piece, end - at);
            if (!send(data_out(cmd.itt(), p.ttt(), sn, at,
                               {data.begin() + at, data.begin() + at + n}, at + n == end)))
                return 0xFF;
        }
    }
    ADD_FAILURE() << "the write was not answered";
    return 0xFF;
}

std::vector<uint8_t> pdu_client::read10(uint32_t lba, uint32_t blocks) {
    return run(
        scsi_command({0x28, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                      static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
                      static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks)},
                     blocks * 512));
}

void RawTargetTest::serve(uint64_t size, const std::string& image) {
    ASSERT_TRUE(dir_.ok());
    image_ = image.empty() ? dir_.file("disk.img") : image;
    port_ = start_mock_target(image_, size);
    ASSERT_NE(port_, 0);
    ASSERT_TRUE(c_.connect(port_));
}

void RawTargetTest::TearDown() {
    c_.close();
    if (port_ != 0) stop_mock_target();
}

bool RawTargetTest::reconnect(pdu_client& client, uint32_t max_recv_dsl) {
    client = pdu_client();
    if (!client.connect(port_)) return false;
    return client.login_normal(max_recv_dsl).u16(36) == 0;
}
