// The loopback iSCSI target's server thread.
#pragma once

#include <atomic>

#include "platform/net.h"

// Body of the server thread: accepts one initiator connection at a time on g_listen_sock
// until accept fails (the stop closes the listener). Returns 0.
int server_main();

// Serves one connection until it ends (the peer goes, a protocol error, a stop); the caller
// closes the socket.
void target_serve_connection(sock_t s);

// The connection being served, or k_bad_sock. The stop shuts it down so that the server
// thread leaves the connection loop instead of waiting for the initiator to go away.
extern std::atomic<sock_t> g_conn_sock;

// Shuts the connection being served down, if any. Unlike shutting down g_conn_sock's value
// directly, it cannot hit a descriptor that the server thread has just closed and the
// process has reused for something else.
void target_end_connection();
