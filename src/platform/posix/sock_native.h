// What the network code shared by both systems needs to know of POSIX sockets.
#pragma once

#include "platform/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using native_socklen = socklen_t;
using native_optval = const void*;

inline int native(sock_t s) {
    return static_cast<int>(s);
}
