// Child processes on POSIX, read the way Windows reads a command line, so that the
// attachment's command lines run unchanged against stand-in tools.
#include "platform/proc.h"
#include "platform/sys.h"
#include "platform/posix/search_path.h"

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned long k_error_file_not_found = 2;
constexpr unsigned long k_error_access_denied = 5;
constexpr unsigned long k_error_cancelled = 1223;
constexpr uint32_t k_wait_timeout = 258;
constexpr uint32_t k_wait_failed = 0xFFFFFFFFu;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The program word as CreateProcess takes it: a quoted text up to the closing quote, or the
// text up to the first blank. *rest receives the position after it.
std::string program_word(const std::string& line, std::size_t* rest) {
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i]))
        ++i;
    std::string word;
    if (i < line.size() && line[i] == '"') {
        std::size_t end = line.find('"', i + 1);
        if (end == std::string::npos) end = line.size();
        word = line.substr(i + 1, end - i - 1);
        i = end < line.size() ? end + 1 : end;
    } else {
        std::size_t start = i;
        while (i < line.size() && !is_blank(line[i]))
            ++i;
        word = line.substr(start, i - start);
    }
    *rest = i;
    return word;
}

// Splits arguments with the Windows rules: blanks separate, double quotes group, 2n
// backslashes before a quote give n backslashes and a grouping quote, 2n+1 give n and a
// literal quote, other backslashes are literal, and "" inside quotes is one quote.
std::vector<std::string> split_arguments(const std::string& s, std::size_t i) {
    std::vector<std::string> args;
    for (;;) {
        while (i < s.size() && is_blank(s[i]))
            ++i;
        if (i >= s.size()) return args;
        std::string arg;
        bool quoted = false;
        while (i < s.size() && (quoted || !is_blank(s[i]))) {
            if (s[i] == '\\') {
                std::size_t n = 0;
                while (i < s.size() && s[i] == '\\')
                    ++n, ++i;
                bool before_quote = i < s.size() && s[i] == '"';
                arg.append(before_quote ? n / 2 : n, '\\');
                if (before_quote && n % 2 == 1) arg += '"', ++i;
            } else if (s[i] == '"') {
                if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += s[i++];
            }
        }
        args.push_back(arg);
    }
}

std::string base_name_lower(const std::string& path) {
    std::string base = path.substr(path.find_last_of('/') + 1);
    for (char& c : base)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return base;
}

// cmd.exe parses its own command line: after "/c" it gets the rest as one text, so that
// redirections and quoted paths reach it intact.
std::vector<std::string> cmd_arguments(const std::string& s, std::size_t i) {
    while (i < s.size() && is_blank(s[i]))
        ++i;
    if (i + 1 < s.size() && s[i] == '/' && (s[i + 1] == 'c' || s[i + 1] == 'C') &&
        (i + 2 == s.size() || is_blank(s[i + 2]))) {
        i += 2;
        while (i < s.size() && is_blank(s[i]))
            ++i;
        return {"/c", s.substr(i)};
    }
    return {s.substr(i)};
}

// The program's path: names with a slash as given, others looked up on PATH. Empty when
// nothing executable is found.
std::string find_program(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    std::string path;
    if (!env_get("PATH", path)) path = "/usr/bin:/bin";
    return find_in_dirs(name, path);
}

unsigned long windows_error(int err) {
    if (err == ENOENT || err == ENOTDIR) return k_error_file_not_found;
    if (err == EACCES || err == EPERM) return k_error_access_denied;
    return static_cast<unsigned long>(err);
}

void close_from(int first) {
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, first, ~0u, 0) == 0) return;
#endif
    for (int fd = first; fd < 65536; ++fd)
        close(fd);
}

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void exec_child(const char* path, char* const* argv, int error_fd) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }
    if (error_fd != 3) dup2(error_fd, 3);
    fcntl(3, F_SETFD, FD_CLOEXEC);
    close_from(4);
    if (chdir("/") != 0) {
        // the current directory is only a convenience; the child runs anyway
    }
    execv(path, argv);
    int err = errno;
    ssize_t ignored = write(3, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

// Starts the program in a process group of its own, with /dev/null for its standard
// streams and no other descriptor. The pid, or -1 with the error in *sys_error.
pid_t spawn(const std::string& path, const std::vector<std::string>& args,
            unsigned long* sys_error) {
    std::vector<std::string> words;
    words.push_back(path);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *sys_error = windows_error(errno);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) exec_child(path.c_str(), argv.data(), fds[1]);
    close(fds[1]);
    if (pid < 0) {
        *sys_error = windows_error(errno);
        close(fds[0]);
        return -1;
    }
    setpgid(pid, pid); // also here, so that the group exists before any kill of it
    int child_errno = 0;
    ssize_t n;
    while ((n = read(fds[0], &child_errno, sizeof child_errno)) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    if (n == static_cast<ssize_t>(sizeof child_errno)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        *sys_error = windows_error(child_errno);
        return -1;
    }
    return pid;
}

int start_command(const char* cmdline, pid_t* pid, unsigned long* sys_error) {
    std::string line(cmdline);
    std::size_t rest = 0;
    std::string word = program_word(line, &rest);
    std::string path = find_program(word);
    if (path.empty()) {
        *sys_error = k_error_file_not_found;
        return -1;
    }
    std::string base = base_name_lower(path);
    auto args = base == "cmd" || base == "cmd.exe" ? cmd_arguments(line, rest)
                                                   : split_arguments(line, rest);
    *pid = spawn(path, args, sys_error);
    return *pid < 0 ? -1 : 0;
}

int exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

// Waits up to ms for the child to end: 0 with *status, 258 on time-out, 0xFFFFFFFF on error.
uint32_t wait_child(pid_t pid, uint32_t ms, int* status) {
    uint64_t deadline = tick_ms() + ms;
    uint32_t pause = 1;
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return 0;
        if (r < 0 && errno != EINTR) return k_wait_failed;
        uint64_t now = tick_ms();
        if (now >= deadline) return k_wait_timeout;
        uint64_t left = deadline - now;
        sleep_ms(static_cast<uint32_t>(left < pause ? left : pause));
        if (pause < 50) pause *= 2;
    }
}

// Whether a process of the group still runs (a zombie has let go of everything). Without /proc,
// whether the group has any member at all.
bool group_alive(pid_t group) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return kill(-group, 0) == 0;
    bool alive = false;
    while (dirent* e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        const std::string path = std::string("/proc/") + e->d_name + "/stat";
        char stat[512] = {};
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t n = read(fd, stat, sizeof stat - 1);
        close(fd);
        const char* tail = n > 0 ? std::strrchr(stat, ')') : nullptr;
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (tail != nullptr && std::sscanf(tail + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 &&
            pgrp == group && state != 'Z' && state != 'X') {
            alive = true;
            break;
        }
    }
    closedir(proc);
    return alive;
}

// SIGKILL only starts the end: a grandchild may still hold the file the caller deletes next.
// Waits, bounded, until no process of the group runs.
void kill_group(pid_t pid) {
    constexpr uint32_t k_end_wait_ms = 10000;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    const uint64_t deadline = tick_ms() + k_end_wait_ms;
    while (group_alive(pid) && tick_ms() < deadline)
        sleep_ms(1);
}

} // namespace

int proc_run_hidden(const char* cmdline, uint32_t limit_ms, child_run* run,
                    unsigned long* sys_error) {
    pid_t pid = -1;
    if (start_command(cmdline, &pid, sys_error) != 0) return -1;
    int status = 0;
    run->wait_result = wait_child(pid, limit_ms, &status);
    if (run->wait_result != 0) {
        kill_group(pid);
        run->exit_code = 1;
    } else {
        run->exit_code = static_cast<uint32_t>(exit_code_of(status));
    }
    return 0;
}

int proc_is_elevated() {
    return geteuid() == 0 ? 1 : 0;
}

struct plat_elevated {
    pid_t pid;
    bool reaped;
};

// The consent prompt is played by two variables: NORVALED_UAC=decline answers No, and
// NORVALED_POWERSHELL names the program that runs the script (default powershell on PATH).
int proc_start_elevated_powershell(const char* params, elevated_t* child,
                                   unsigned long* sys_error) {
    std::string answer;
    if (env_get("NORVALED_UAC", answer) && answer == "decline") {
        *sys_error = k_error_cancelled;
        return -1;
    }
    std::string program;
    if (!env_get("NORVALED_POWERSHELL", program) || program.empty()) program = "powershell";
    std::string path = find_program(program);
    if (path.empty()) {
        *sys_error = k_error_file_not_found;
        return -1;
    }
    pid_t pid = spawn(path, split_arguments(params, 0), sys_error);
    if (pid < 0) return -1;
    *child = new (std::nothrow) plat_elevated{pid, false};
    if (*child == nullptr) {
        // Nobody could wait for it; it goes on alone, as an elevated run that outlived its
        // wait would.
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
        *sys_error = ENOMEM;
        return -1;
    }
    return 0;
}

uint32_t proc_wait_elevated(elevated_t child, uint32_t ms) {
    if (child == nullptr) return k_wait_failed;
    if (child->reaped) return 0;
    int status = 0;
    uint32_t r = wait_child(child->pid, ms, &status);
    if (r == 0) child->reaped = true;
    return r;
}

void proc_release_elevated(elevated_t child) {
    if (child == nullptr) return;
    // The elevated run is never ended; whoever outlives it reaps it, so it leaves no zombie.
    if (!child->reaped) {
        pid_t pid = child->pid;
        std::thread([pid] {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    delete child;
}

unsigned long proc_current_pid() {
    return static_cast<unsigned long>(getpid());
}

local_time_of_day local_time_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    local_time_of_day t;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
}

struct plat_machine_lock {
    int fd;
};

namespace {

// The temporary directory, or NORVALED_LOCK_DIR (tests keep their locks apart with it).
std::string machine_lock_path(const char* name) {
    std::string dir;
    if (!env_get("NORVALED_LOCK_DIR", dir) || dir.empty()) dir = temp_dir();
    if (dir.back() != '/') dir += '/';
    return dir + name + ".lock";
}

} // namespace

// An flock'ed file: the kernel lets it go when the process ends. Whoever comes first creates
// it, so any local user can hold it and keep mounts out (docs/reliability.md).
int machine_lock_try(const char* name, machine_lock_t* out) {
    const std::string path = machine_lock_path(name);
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    *out = new (std::nothrow) plat_machine_lock{fd};
    if (*out == nullptr) {
        close(fd);
        return -1;
    }
    return 0;
}

void machine_lock_release(machine_lock_t lock) {
    if (lock == nullptr) return;
    close(lock->fd);
    delete lock;
}

// From /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF", the device's major and
// minor in hexadecimal; waiters' lines ("1: -> FLOCK ...") are not holders.
std::string machine_lock_holder(const char* name) {
    struct stat st {};
    if (stat(machine_lock_path(name).c_str(), &st) != 0) return {};
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return {};
    long holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16] = {}, mode[16] = {};
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*d: %15s %*s %15s %ld %x:%x:%llu", kind, mode, &pid, &major, &minor,
                        &inode) == 6 &&
            std::strcmp(kind, "FLOCK") == 0 && major == major(st.st_dev) &&
            minor == minor(st.st_dev) && inode == st.st_ino)
            holder = pid;
    }
    std::fclose(locks);
    if (holder <= 0) return {};
    std::string comm;
    if (std::FILE* f = std::fopen(("/proc/" + std::to_string(holder) + "/comm").c_str(), "re")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f) != nullptr) comm = buf;
        std::fclose(f);
    }
    while (!comm.empty() && comm.back() == '\n')
        comm.pop_back();
    return "pid " + std::to_string(holder) + (comm.empty() ? "" : " (" + comm + ")");
}
