// Login and Text requests as the handlers see them: one header and one data segment of
// "key=value" entries, in any login stage, against a connection whose answers are dropped.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "iscsi/conn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < k_bhs_size) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    shutdown(sv[0], SHUT_RD); // answers go nowhere and never block
    iscsi_conn c;
    c.conn_socket = sv[1];
    rx_pdu p;
    std::memcpy(p.hdr.data(), data, k_bhs_size);
    p.len = static_cast<uint32_t>(size - k_bhs_size);
    if (p.len != 0) {
        p.data.reset(static_cast<uint8_t*>(std::malloc(p.len)));
        std::memcpy(p.data.get(), data + k_bhs_size, p.len);
    }
    kv_find(p.bytes(), p.len, "MaxRecvDataSegmentLength");
    if (bhs_opcode(p.hdr) == op_text_req) {
        text_request(c, p);
    } else {
        login_request(c, p);
        login_request(c, p); // a second stage on what the first left
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
