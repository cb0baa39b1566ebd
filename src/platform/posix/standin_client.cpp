#include "platform/posix/standin_client.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/net.h"
#include "platform/sys.h"

std::string standin_dir() {
    std::string dir;
    if (env_get("NORVALED_STANDIN_DIR", dir) && !dir.empty()) return dir;
    return temp_dir() + "norvaled-standin-" + std::to_string(getuid());
}

std::string standin_socket_path() {
    return standin_dir() + "/msiscsi.sock";
}

std::string standin_daemon_path() {
    return program_on_path(k_standin_daemon);
}

int standin_send_message(int fd, const std::string& text, const void* payload, std::size_t len) {
    const std::string line = std::to_string(len) + " " + text + "\n";
    if (line.size() > k_standin_line_max || len > k_standin_payload_max) return -1;
    if (net_send_all(fd, line.data(), line.size()) != 0) return -1;
    if (len > 0 && net_send_all(fd, payload, len) != 0) return -1;
    return 0;
}

int standin_recv_message(int fd, std::string& text, std::string& payload) {
    std::string line;
    char c = 0;
    while (line.size() < k_standin_line_max) {
        if (net_recv_all(fd, &c, 1) != 0) return -1;
        if (c == '\n') break;
        line += c;
    }
    if (c != '\n') return -1;
    char* end = nullptr;
    const unsigned long long len = std::strtoull(line.c_str(), &end, 10);
    if (end == line.c_str() || *end != ' ' || len > k_standin_payload_max) return -1;
    text = end + 1;
    payload.assign(static_cast<std::size_t>(len), '\0');
    if (len > 0 && net_recv_all(fd, payload.data(), payload.size()) != 0) return -1;
    return 0;
}

int standin_call(const std::string& text, standin_reply& reply, const void* payload,
                 std::size_t payload_len) {
    reply = standin_reply{};
    const std::string path = standin_socket_path();
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unique_sock s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s) return -1;
    net_set_io_timeouts(s.get(), k_standin_reply_ms);
    if (connect(static_cast<int>(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) !=
        0)
        return -1;
    const int fd = static_cast<int>(s.get());
    std::string answer;
    if (standin_send_message(fd, text, payload, payload_len) != 0 ||
        standin_recv_message(fd, answer, reply.payload) != 0)
        return -1;
    if (answer == "ok" || answer.rfind("ok ", 0) == 0) {
        reply.ok = true;
        reply.text = answer.size() > 3 ? answer.substr(3) : "";
        return 0;
    }
    if (answer.rfind("err ", 0) != 0) return -1;
    char* end = nullptr;
    reply.status = static_cast<uint32_t>(std::strtoul(answer.c_str() + 4, &end, 16));
    reply.text = *end == ' ' ? end + 1 : end;
    return 0;
}
