// The loopback iSCSI target: its listener and its server thread, started and stopped by the
// lifecycle.
#pragma once

#include <cstdint>

#include "platform/net.h"

// Opens the loopback listener on port: 0, or -8 with the message set.
int32_t target_listen(int32_t port);
// Closes the listener (a start that failed after target_listen).
void target_close_listener();
// Starts the server thread on the open listener: 0, or NORVALED_E_RESOURCE when no thread
// could be made. It serves while g_running is set.
int32_t target_server_start();
// Ends the server once g_running is cleared: wakes the wait for an initiator, shuts down the
// connection being served (even in the middle of a READ), waits for the thread and closes
// the listener.
void target_server_stop();

// Serves one connection until it ends (the peer goes, a protocol error, a stop); the caller
// closes the socket.
void target_serve_connection(sock_t s);
