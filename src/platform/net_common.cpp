#include "platform/net.h"

int net_send_all(sock_t s, const void* data, std::size_t len) {
    auto* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        long n = net_send(s, p, len);
        if (n <= 0) return -8;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

int net_recv_all(sock_t s, void* data, std::size_t len) {
    auto* p = static_cast<unsigned char*>(data);
    while (len > 0) {
        long n = net_recv(s, p, len);
        if (n <= 0) return -8;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}
