// The daemon's life: started detached (own session, no inherited descriptors), serving one
// request at a time on its Unix socket, ending on SIGTERM or when its state directory goes.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "msiscsi.h"
#include "platform/net.h"
#include "standin.h"

namespace {

constexpr int k_watch_ms = 250;            // how soon a removed state directory is noticed
constexpr uint32_t k_client_io_ms = 30000; // a client that stops talking is dropped

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal; // no SA_RESTART: poll returns at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
}

// Closes every descriptor but keep (moved above the standard ones if need be), with the
// standard streams on /dev/null.
void drop_inherited_descriptors(int& keep) {
    if (keep < 3) keep = fcntl(keep, F_DUPFD_CLOEXEC, 3);
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        if (null_fd >= 0) dup2(null_fd, fd);
    if (keep > 3) close_range(3, static_cast<unsigned>(keep - 1), 0);
    close_range(static_cast<unsigned>(keep + 1), ~0u, 0);
}

bool daemon_answers() {
    standin_reply reply;
    return standin_call("ping", reply) == 0 && reply.ok;
}

// The listening socket, or -1. A socket file nobody answers on is a dead daemon's.
int listen_on(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Still ours: the state directory and our socket file in it are where we left them.
bool socket_file_is(const std::string& path, const struct stat& ours) {
    struct stat now {};
    return stat(path.c_str(), &now) == 0 && now.st_ino == ours.st_ino && now.st_dev == ours.st_dev;
}

void serve_one(int listener) {
    unique_sock client(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) return;
    net_set_io_timeouts(client.get(), k_client_io_ms);
    const int fd = static_cast<int>(client.get());
    std::string text, payload, reply_payload;
    if (standin_recv_message(fd, text, payload) != 0) return;
    const std::string reply = msiscsi_handle(text, payload, reply_payload);
    standin_send_message(fd, reply, reply_payload.data(), reply_payload.size());
}

void serve(int listener, const std::string& path) {
    struct stat ours {};
    if (stat(path.c_str(), &ours) != 0) return;
    while (!g_stop && socket_file_is(path, ours)) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, k_watch_ms) > 0) serve_one(listener);
    }
    msiscsi_logout_all();
    if (socket_file_is(path, ours)) {
        unlink(path.c_str());
        unlink((standin_dir() + "/msiscsi.pid").c_str());
    }
}

void write_pid_file() {
    const std::string path = standin_dir() + "/msiscsi.pid";
    if (FILE* f = std::fopen(path.c_str(), "we")) {
        std::fprintf(f, "%ld\n", static_cast<long>(getpid()));
        std::fclose(f);
    }
}

} // namespace

// The launcher returns once the daemon listens (0) or could not start (1); the daemon itself
// runs on in a session of its own.
int msiscsi_main(int, char**) {
    const std::string dir = standin_dir();
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "msiscsi: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    // The default folder lies in a shared temporary directory: use it only when it is ours.
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        std::fprintf(stderr, "msiscsi: %s is not a directory of this user\n", dir.c_str());
        return 1;
    }
    if (daemon_answers()) return 0;
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return 1;
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid > 0) {
        close(ready[1]);
        char c = 0;
        const bool up = read(ready[0], &c, 1) == 1;
        if (!up) std::fprintf(stderr, "msiscsi: the service could not start in %s\n", dir.c_str());
        return up ? 0 : 1;
    }
    setsid();
    drop_inherited_descriptors(ready[1]);
    install_signals();
    const std::string path = standin_socket_path();
    const int listener = listen_on(path);
    if (listener < 0) _exit(1);
    write_pid_file();
    if (write(ready[1], "1", 1) != 1) _exit(1);
    close(ready[1]);
    serve(listener, path);
    close(listener);
    _exit(0);
}
