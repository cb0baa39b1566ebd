// The initiator on POSIX: the stand-in daemon when its program is on PATH. Without it the
// machine has no initiator, and every call says so instead of pretending.
#include "platform/initiator.h"

#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/standin_client.h"
#include "platform/sys.h"

extern char** environ;

namespace {

// What the discovery interface answers when the service does not exist
// (ERROR_SERVICE_DOES_NOT_EXIST), and when it exists but does not run (RPC_S_SERVER_UNAVAILABLE).
constexpr uint32_t k_no_initiator = 1060;
constexpr uint32_t k_rpc_server_unavailable = 1722;
constexpr uint32_t k_launch_limit_ms = 15000;

uint32_t call_status(const std::string& text, standin_reply* out = nullptr) {
    if (standin_daemon_path().empty()) return k_no_initiator;
    standin_reply reply;
    if (standin_call(text, reply) != 0) return k_rpc_server_unavailable;
    if (out != nullptr) *out = reply;
    return reply.ok ? 0 : reply.status;
}

std::string session_text(const iscsi_session_id& s) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016" PRIx64 "-%016" PRIx64, s.adapter_unique,
                  s.adapter_specific);
    return buf;
}

// The launcher forks the daemon into its own session and exits once the daemon listens.
void launch_daemon(const std::string& program) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return;
    const uint64_t deadline = tick_ms() + k_launch_limit_ms;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (tick_ms() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        sleep_ms(20);
    }
}

} // namespace

struct plat_service {
    std::string program;
    service_access access;
};

service_t initiator_service_open(service_access access) {
    std::string program = standin_daemon_path();
    if (program.empty()) return nullptr;
    return new plat_service{std::move(program), access};
}

int initiator_service_running(service_t svc) {
    if (svc == nullptr) return -1;
    standin_reply reply;
    return standin_call("ping", reply) == 0 && reply.ok ? 1 : 0;
}

void initiator_service_start(service_t svc) {
    if (svc == nullptr || svc->access != service_access::query_and_start) return;
    if (initiator_service_running(svc) == 1) return;
    launch_daemon(svc->program);
}

void initiator_service_close(service_t svc) {
    delete svc;
}

uint32_t initiator_add_portal(const char* address, uint16_t port) {
    return call_status(std::string("add_portal ") + address + " " + std::to_string(port));
}

uint32_t initiator_login(const char* target_iqn, const char* address, uint16_t port,
                         iscsi_session_id* session) {
    standin_reply reply;
    const uint32_t status = call_status(
        std::string("login ") + target_iqn + " " + address + " " + std::to_string(port), &reply);
    if (status != 0) return status;
    if (session != nullptr &&
        std::sscanf(reply.text.c_str(), "%" SCNx64 "-%" SCNx64, &session->adapter_unique,
                    &session->adapter_specific) != 2)
        *session = iscsi_session_id{};
    return 0;
}

uint32_t initiator_logout(const iscsi_session_id& session) {
    return call_status("logout " + session_text(session));
}

uint32_t initiator_remove_portal(const char* address, uint16_t port) {
    return call_status(std::string("remove_portal ") + address + " " + std::to_string(port));
}
