// Placeholder until the iSCSI transport lands: accepts and closes connections.
#include "target/target.h"

#include "state/state.h"

std::atomic<sock_t> g_conn_sock{k_bad_sock};

int server_main() {
    while (g_running.load()) {
        sock_t c = net_accept(g_listen_sock.load());
        if (c == k_bad_sock) return 0;
        net_close(c);
    }
    return 0;
}
