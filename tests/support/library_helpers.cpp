#include "support/library_helpers.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "norvaled.h"
#include "platform/net.h"
#include "platform/sys.h"

uint16_t free_port() {
    unique_sock s(net_socket_tcp4());
    if (!s || net_bind_loopback(s.get(), 0) != 0) return 0;
    return net_local_port(s.get());
}

int32_t start_on_free_port(const std::string& path, int64_t size, int* port) {
    int32_t rc = NORVALED_E_NET;
    for (int attempt = 0; attempt < 8 && rc == NORVALED_E_NET; ++attempt) {
        const int p = free_port();
        if (p == 0) continue; // a start on port 0 would serve the default port
        rc = norvaled_start(path.c_str(), size, p);
        if (rc == 0 && port != nullptr) *port = p;
    }
    return rc;
}

int64_t stat_value(const char* key) {
    const std::string text = norvaled_stats();
    const std::string pattern = std::string("\"") + key + "\":";
    const std::size_t at = text.find(pattern);
    if (at == std::string::npos) return -1;
    return std::strtoll(text.c_str() + at + pattern.size(), nullptr, 10);
}

bool wait_until(uint32_t limit_ms, const std::function<bool()>& condition) {
    const uint64_t deadline = tick_ms() + limit_ms;
    while (!condition()) {
        if (tick_ms() >= deadline) return false;
        sleep_ms(20);
    }
    return true;
}

int open_fd_count() {
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

bool port_accepts(int port) {
    net_addr addr;
    if (net_resolve_ipv4("127.0.0.1", port, &addr) != 0) return false;
    unique_sock s(net_socket(addr));
    return s && net_connect_within(s.get(), addr, 1000) == connect_result::connected;
}
