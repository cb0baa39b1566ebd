// What the network code shared by both systems needs to know of Winsock.
#pragma once

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/net.h"

using native_socklen = int;
using native_optval = const char*; // Winsock's option values are char pointers
using native_optbuf = char*;

inline SOCKET native(sock_t s) {
    return static_cast<SOCKET>(s);
}

// Waits within timeout_ms for the pending connect of s (net_common.cpp): 0 when connected,
// else the socket's error; timed_out when the time ran out, refused when no error is readable.
int net_wait_connected(sock_t s, uint32_t timeout_ms, int timed_out, int refused);
