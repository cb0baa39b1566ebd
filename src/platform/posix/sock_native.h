// What the network code shared by both systems needs to know of POSIX sockets.
#pragma once

#include "platform/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>

using native_socklen = socklen_t;
using native_optval = const void*;
using native_optbuf = void*;

inline int native(sock_t s) {
    return static_cast<int>(s);
}

// Waits within timeout_ms for the pending connect of s (net_common.cpp): 0 when connected,
// else the socket's error; timed_out when the time ran out, refused when no error is readable.
int net_wait_connected(sock_t s, uint32_t timeout_ms, int timed_out, int refused);
