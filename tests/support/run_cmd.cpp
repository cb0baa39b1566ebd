// Child processes through posix_spawn: safe in a process whose target threads are running,
// where a plain fork would copy locks held by other threads.
#include "support/run_cmd.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/sys.h"
#include "support/library_helpers.h"

extern char** environ;

namespace {

constexpr std::size_t k_output_cap = 4u << 20; // keep at most 4 MiB of a chatty tool
constexpr int k_poll_ms = 50;

struct spawn_setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    spawn_setup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~spawn_setup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    spawn_setup(const spawn_setup&) = delete;
    spawn_setup& operator=(const spawn_setup&) = delete;
};

// Appends what can be read now; false once the pipe is at its end.
bool drain(int fd, std::string& out) {
    char buf[16384];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            if (out.size() < k_output_cap)
                out.append(buf, static_cast<std::size_t>(n) < k_output_cap - out.size()
                                    ? static_cast<std::size_t>(n)
                                    : k_output_cap - out.size());
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void record_status(cmd_result& r, int status) {
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
}

} // namespace

std::string cmd_result::describe() const {
    std::string s;
    if (!started)
        s = "could not start";
    else if (timed_out)
        s = "timed out";
    else if (term_signal != 0)
        s = "killed by signal " + std::to_string(term_signal);
    else
        s = "exit status " + std::to_string(exit_code);
    constexpr std::size_t k_tail = 2000;
    s += "; output: ";
    s += output.size() > k_tail ? "..." + output.substr(output.size() - k_tail) : output;
    return s;
}

cmd_result run_cmd(const std::vector<std::string>& argv, uint32_t timeout_ms) {
    cmd_result r;
    if (argv.empty()) return r;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return r;
    spawn_setup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 2);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        r.output = "posix_spawnp failed: " + std::to_string(rc);
        return r;
    }
    r.started = true;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const uint64_t deadline = tick_ms() + timeout_ms;
    bool open = true;
    bool ended = false;
    while (!ended) {
        if (open) {
            pollfd p{fds[0], POLLIN, 0};
            poll(&p, 1, k_poll_ms);
            open = drain(fds[0], r.output);
        } else {
            sleep_ms(k_poll_ms);
        }
        // Look without reaping: while the child is a zombie its process-group id cannot be
        // reused, so the group kill below can only reach what this call started.
        siginfo_t info{};
        ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid;
        if (!ended && tick_ms() >= deadline) {
            r.timed_out = true;
            ended = true;
        }
    }
    kill(-pid, SIGKILL); // the tool if timed out, and any helper it left behind
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (open) drain(fds[0], r.output);
    close(fds[0]);
    record_status(r, status);
    if (r.timed_out) {
        r.exit_code = -1;
        r.term_signal = 0;
    }
    return r;
}

bool have_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::string dirs(path);
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

pid_t spawn_server(const std::vector<std::string>& argv, const std::string& log,
                   const char* death_signal) {
    std::vector<std::string> full;
    if (access("/usr/bin/setpriv", X_OK) == 0)
        full = {"/usr/bin/setpriv", "--pdeathsig", death_signal, "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : full)
        args.push_back(a.data());
    args.push_back(nullptr);
    spawn_setup s;
    posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&s.actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&s.actions, 1, 2);
    pid_t pid = -1;
    return posix_spawnp(&pid, args[0], &s.actions, nullptr, args.data(), environ) == 0 ? pid : -1;
}

bool wait_listening(pid_t& pid, int port, uint32_t timeout_ms) {
    const uint64_t deadline = tick_ms() + timeout_ms;
    while (tick_ms() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        if (port_accepts(port)) return true;
        sleep_ms(20);
    }
    return false;
}
