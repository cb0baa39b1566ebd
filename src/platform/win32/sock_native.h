// What the network code shared by both systems needs to know of Winsock.
#pragma once

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/net.h"

using native_socklen = int;
using native_optval = const char*; // Winsock's option values are char pointers

inline SOCKET native(sock_t s) {
    return static_cast<SOCKET>(s);
}
