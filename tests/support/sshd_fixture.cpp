#include "support/sshd_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <map>
#include <pwd.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/net.h"
#include "platform/sys.h"
#include "support/library_helpers.h"
#include "support/run_cmd.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* k_sshd = "/usr/sbin/sshd";
constexpr const char* k_user = "nvtest";
constexpr const char* k_password = "nv-Test-pass-4711";
constexpr const char* k_passphrase = "nv key phrase 42";
constexpr uint32_t k_cmd_ms = 30000;
constexpr uint32_t k_ready_ms = 10000;
constexpr int k_port_attempts = 5;

sshd_info g_info;
std::string g_failure; // why the start failed; empty while none did
bool g_tried = false;
pid_t g_pid = -1;
std::string g_conf_dir;

bool write_text(const std::string& path, const std::string& text, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) return false;
    }
    return chmod(path.c_str(), mode) == 0;
}

bool run(const std::vector<std::string>& argv, std::string* output = nullptr) {
    const cmd_result r = run_cmd(argv, k_cmd_ms);
    if (output != nullptr) *output = r.output;
    if (!r.ok()) g_failure = argv[0] + " " + (argv.size() > 1 ? argv[1] : "") + ": " + r.describe();
    return r.ok();
}

void stop_sshd() {
    if (g_pid > 0) {
        kill(g_pid, SIGTERM);
        int status = 0;
        const uint64_t deadline = tick_ms() + 3000;
        while (waitpid(g_pid, &status, WNOHANG) == 0) {
            if (tick_ms() >= deadline) {
                kill(g_pid, SIGKILL);
                waitpid(g_pid, &status, 0);
                break;
            }
            sleep_ms(20);
        }
        g_pid = -1;
    }
    std::error_code ec;
    if (!g_info.home.empty()) std::filesystem::remove_all(g_info.home, ec);
    if (!g_conf_dir.empty()) std::filesystem::remove_all(g_conf_dir, ec);
}

// The test user exists with the known password. Several test processes may get here at the
// same moment; the lock file keeps useradd and chpasswd from racing each other.
bool ensure_user() {
    const std::string script = std::string("id -u ") + k_user + " >/dev/null 2>&1 || " +
                               "/usr/sbin/useradd -m -s /bin/sh " + k_user + "; echo '" + k_user +
                               ":" + k_password + "' | /usr/sbin/chpasswd";
    return run({"flock", "/tmp/norvaled-test-user.lock", "/bin/sh", "-c", script});
}

// A fresh directory in the user's home, owned by the user: each test process has its own.
bool make_home() {
    const passwd* pw = getpwnam(k_user);
    if (pw == nullptr) {
        g_failure = "user " + std::string(k_user) + " not found after useradd";
        return false;
    }
    std::string pattern = std::string(pw->pw_dir) + "/run-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chown(pattern.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        g_failure = "cannot make a directory in " + std::string(pw->pw_dir);
        return false;
    }
    g_info.home = pattern;
    return true;
}

bool make_key(const std::string& path, const std::string& passphrase,
              const std::string& type = "ed25519") {
    return run(
        {"ssh-keygen", "-q", "-t", type, "-N", passphrase, "-C", "norvaled-test", "-f", path});
}

// The configuration directory: host key, user keys, authorized_keys. The sshd reads
// authorized_keys as the test user, so the directory and that file are world-readable; the
// private keys stay root's, as the library (running as root here) is what reads them.
bool make_keys() {
    std::string pattern = temp_dir() + "norvaled-sshd-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chmod(pattern.c_str(), 0755) != 0) {
        g_failure = "cannot make the sshd configuration directory";
        return false;
    }
    g_conf_dir = pattern;
    g_info.key = g_conf_dir + "/id_ed25519";
    g_info.key_protected = g_conf_dir + "/id_protected";
    g_info.passphrase = k_passphrase;
    g_info.key_ecdsa = g_conf_dir + "/id_ecdsa";
    g_info.key_ecdsa_protected = g_conf_dir + "/id_ecdsa_protected";
    const std::string host_key = g_conf_dir + "/host_ed25519";
    g_info.host_key_pub = host_key + ".pub";
    g_info.host_key_ecdsa = g_conf_dir + "/host_ecdsa";
    if (!make_key(host_key, "") || !make_key(g_info.key, "") ||
        !make_key(g_info.key_protected, g_info.passphrase) ||
        !make_key(g_info.key_ecdsa, "", "ecdsa") ||
        !make_key(g_info.key_ecdsa_protected, g_info.passphrase, "ecdsa") ||
        !make_key(g_info.host_key_ecdsa, "", "ecdsa"))
        return false;
    std::string listing;
    if (!run({"ssh-keygen", "-l", "-f", host_key + ".pub"}, &listing)) return false;
    std::istringstream fields(listing); // "256 SHA256:... comment (ED25519)"
    std::string bits;
    fields >> bits >> g_info.host_key_sha256;
    if (g_info.host_key_sha256.rfind("SHA256:", 0) != 0) {
        g_failure = "unexpected ssh-keygen -l output: " + listing;
        return false;
    }
    std::string keys;
    for (const std::string* key :
         {&g_info.key, &g_info.key_protected, &g_info.key_ecdsa, &g_info.key_ecdsa_protected})
        keys += read_text(*key + ".pub");
    return write_text(g_conf_dir + "/authorized_keys", keys, 0644);
}

std::string config_text(int port, const std::string& pid_file = "sshd.pid",
                        const std::string& host_key = "host_ed25519") {
    const std::string& d = g_conf_dir;
    return "ListenAddress 127.0.0.1\n"
           "Port " +
           std::to_string(port) +
           "\n"
           "HostKey " +
           d + "/" + host_key + "\n" + "PidFile " + d + "/" + pid_file + "\n" +
           "AuthorizedKeysFile " + d +
           "/authorized_keys\n"
           "AllowUsers " +
           k_user +
           "\n"
           "PasswordAuthentication yes\n"
           "PubkeyAuthentication yes\n"
           "KbdInteractiveAuthentication no\n"
           "PermitRootLogin no\n"
           "UsePAM no\n"
           "StrictModes no\n"
           "UseDNS no\n"
           "MaxStartups 64\n"
           "LogLevel VERBOSE\n"
           "Subsystem sftp internal-sftp\n";
}

// In the foreground, tied to this thread: a test process that crashes leaves no sshd.
pid_t spawn_sshd(const std::string& conf) {
    return spawn_server({k_sshd, "-D", "-e", "-f", conf}, g_info.log, "TERM");
}

// False when the sshd ended first (g_pid is -1 then) or did not come up in time.
bool wait_ready(int port) {
    return wait_listening(g_pid, port, k_ready_ms);
}

bool launch() {
    // Privilege separation needs this directory; a fresh machine has no sshd running yet.
    mkdir("/run/sshd", 0755);
    g_info.log = g_conf_dir + "/sshd.log";
    const std::string conf = g_conf_dir + "/sshd_config";
    for (int attempt = 0; attempt < k_port_attempts; ++attempt) {
        const int port = free_port();
        if (port == 0 || !write_text(conf, config_text(port), 0644)) continue;
        g_pid = spawn_sshd(conf);
        if (g_pid < 0) {
            g_failure = "cannot spawn " + std::string(k_sshd);
            return false;
        }
        if (wait_ready(port)) {
            g_info.port = port;
            return true;
        }
        if (g_pid > 0) {
            kill(g_pid, SIGKILL);
            waitpid(g_pid, nullptr, 0);
            g_pid = -1;
        }
    }
    g_failure = "sshd did not come up; its log:\n" + read_text(g_info.log);
    return false;
}

// Every process below root, from the parent links in /proc: the sessions of the sshd.
std::vector<pid_t> descendants(pid_t root) {
    std::map<pid_t, std::vector<pid_t>> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        if (pid <= 0) continue;
        const std::string stat = read_text(entry.path().string() + "/stat");
        const std::size_t name_end = stat.rfind(')'); // the name may hold anything
        char state = 0;
        int parent = 0;
        if (name_end != std::string::npos &&
            std::sscanf(stat.c_str() + name_end + 1, " %c %d", &state, &parent) == 2)
            children[parent].push_back(pid);
    }
    std::vector<pid_t> found;
    std::vector<pid_t> todo{root};
    while (!todo.empty()) {
        const pid_t p = todo.back();
        todo.pop_back();
        for (pid_t c : children[p]) {
            found.push_back(c);
            todo.push_back(c);
        }
    }
    return found;
}

// The configuration of a restart: the usual one, or one with a second host key, made on
// first use. Empty when that failed.
std::string restart_config(bool other_host_key) {
    if (!other_host_key) return g_conf_dir + "/sshd_config";
    const std::string conf = g_conf_dir + "/other_key_config";
    const std::string key = g_conf_dir + "/host_other_ed25519";
    if (access(key.c_str(), F_OK) != 0 && !make_key(key, "")) return {};
    if (!write_text(conf, config_text(g_info.port, "sshd.pid", "host_other_ed25519"), 0644))
        return {};
    return conf;
}

bool start_once() {
    g_info.user = k_user;
    g_info.password = k_password;
    std::atexit(stop_sshd);
    return ensure_user() && make_home() && make_keys() && launch();
}

} // namespace

const sshd_info& sshd_start() {
    static const sshd_info none;
    if (access(k_sshd, X_OK) != 0) {
        [] { GTEST_SKIP() << k_sshd << " is not installed (scripts/setup-deps.sh installs it)"; }();
        return none;
    }
    if (!g_tried) {
        g_tried = true;
        if (!start_once()) {
            if (g_failure.empty()) g_failure = "sshd start failed";
            g_info.port = 0;
        }
    }
    if (!g_failure.empty()) {
        [] { FAIL() << "test sshd: " << g_failure; }();
        return none;
    }
    return g_info;
}

bool sshd_restart(bool other_host_key) {
    const std::string conf = restart_config(other_host_key);
    if (g_pid <= 0 || g_info.port == 0 || conf.empty()) return false;
    // The sessions become this process's children when their parents die, so that each is
    // reaped here rather than left to init.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::vector<pid_t> sessions = descendants(g_pid);
    for (pid_t p : sessions)
        kill(p, SIGKILL);
    kill(g_pid, SIGKILL);
    waitpid(g_pid, nullptr, 0);
    const uint64_t deadline = tick_ms() + 10000;
    for (pid_t p : sessions) {
        // Reaped here, or by its own parent before that died (then it is gone).
        while (waitpid(p, nullptr, WNOHANG) != p && kill(p, 0) == 0 && tick_ms() < deadline)
            sleep_ms(10);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    g_pid = spawn_sshd(conf);
    return g_pid > 0 && wait_ready(g_info.port);
}

std::string json_quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string auth_password(const sshd_info& s, const std::string& members) {
    return "{\"password\":" + json_quote(s.password) + (members.empty() ? "" : ",") + members + "}";
}

// The first value of a keyword wins in sshd_config, so the settings go before the shared text.
sshd_variant::sshd_variant(const sshd_info& base, const std::string& settings) {
    if (!sshd_ok(base)) return;
    static int g_variants = 0;
    const std::string name = "variant" + std::to_string(++g_variants);
    const std::string conf = g_conf_dir + "/" + name + "_config";
    const std::string log = g_conf_dir + "/" + name + ".log";
    for (int attempt = 0; attempt < k_port_attempts && port_ == 0; ++attempt) {
        const int port = free_port();
        if (port == 0 ||
            !write_text(conf, settings + "\n" + config_text(port, name + ".pid"), 0644))
            continue;
        pid_t pid = spawn_server({k_sshd, "-D", "-e", "-f", conf}, log, "TERM");
        if (pid > 0 && wait_listening(pid, port, k_ready_ms)) {
            pid_ = pid;
            port_ = port;
        } else if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (port_ == 0) ADD_FAILURE() << "sshd variant did not come up; its log:\n" << read_text(log);
}

sshd_variant::~sshd_variant() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}
