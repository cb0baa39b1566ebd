// The SSH/SFTP connection: resolve, connect within the budget, handshake, check the host key
// when pinned, authenticate, start SFTP. Each step returns 0 or a code and leaves the message.
#include "store/sftp.h"

#include "store/auth_text.h"

#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "norvaled.h"
#include "platform/sys.h"
#include "state/state.h"
#include "store/image.h"
#include "store/known_hosts.h"
#include "store/link_health.h"
#include "store/ssh_auth.h"

namespace {

// The link: the connection the image is opened on, or mock mode (a local file).
sock_t g_ssh_sock = k_bad_sock;
LIBSSH2_SESSION* g_ssh_session = nullptr;
LIBSSH2_SFTP* g_sftp_session = nullptr;
int32_t g_mock_mode = 0;

constexpr uint32_t k_default_budget_ms = 15000;
constexpr uint32_t k_io_timeout_ms = 20000;
// An idle link is asked for the image's attributes; a link that cannot answer this soon is
// taken for dead (libssh2's own keep-alive only sends and never waits for an answer).
constexpr uint32_t k_probe_answer_ms = 5000;
constexpr int k_default_ssh_port = 22;
constexpr int k_disconnect_by_application = SSH_DISCONNECT_BY_APPLICATION; // 11

struct auth_text {
    char password[256] = {};
    char key_path[512] = {};
    char pubkey_path[512] = {};
    char passphrase[256] = {};
    char host_key_sha256[128] = {};
    char known_hosts[512] = {};
    bool known_hosts_add = false;
    bool known_hosts_hash = false;
    bool agent = false;
    bool reconnect = true;
    const char* unreadable = nullptr; // the first member whose value could not be read
};

// What a reconnection needs, kept from the connect to the disconnect: the arguments, and the
// host key the first connection met, the only one a reconnection accepts.
struct link_args {
    std::string host;
    int port = 0;
    std::string user;
    auth_text auth;
    std::vector<unsigned char> host_key;
    int host_key_type = LIBSSH2_HOSTKEY_TYPE_UNKNOWN;

    ~link_args() {
        // The secrets live as long as the connection and no longer.
        volatile char* p = reinterpret_cast<volatile char*>(&auth);
        for (std::size_t i = 0; i < sizeof auth; ++i)
            p[i] = 0;
    }
};

std::unique_ptr<link_args> g_link_args;
image* g_link_image = nullptr; // the image the link serves, reopened by a reconnection

// Everything a connect makes, released in reverse order unless the connect succeeds.
struct connect_attempt {
    bool libssh2_up = false;
    unique_sock sock;
    LIBSSH2_SESSION* session = nullptr;
    LIBSSH2_SFTP* sftp = nullptr;

    void say_goodbye(const char* why) {
        libssh2_session_disconnect_ex(session, k_disconnect_by_application, why, "");
    }
    // Ends the connection so far, for a new one in the same attempt.
    void start_over() {
        if (session != nullptr) libssh2_session_free(session);
        session = nullptr;
        sock.reset();
    }
    ~connect_attempt() {
        if (sftp != nullptr) libssh2_sftp_shutdown(sftp);
        if (session != nullptr) libssh2_session_free(session);
        sock.reset();
        if (libssh2_up) libssh2_exit();
    }
};

// A positive number of milliseconds from the environment, else fallback.
uint32_t env_ms(const char* name, uint32_t fallback) {
    std::string text;
    if (!env_get(name, text) || text.empty() || text.size() > 31) return fallback;
    const int ms = std::atoi(text.c_str());
    return ms > 0 ? static_cast<uint32_t>(ms) : fallback;
}

uint32_t connect_budget_ms() {
    return env_ms("NORVALED_CONNECT_TIMEOUT_MS", k_default_budget_ms);
}

// How long one SSH step may wait for the server before it fails.
uint32_t io_timeout_ms() {
    return env_ms("NORVALED_IO_TIMEOUT_MS", k_io_timeout_ms);
}

int32_t connect_timed_out(const char* host, int port, uint32_t budget_ms) {
    return fail(NORVALED_E_TIMEOUT,
                "connect to %s:%d timed out after %u s \xE2\x80\x94 check the host is up and the "
                "port is open",
                host, port, budget_ms / 1000);
}

int32_t open_tcp(connect_attempt& at, const char* host, int port, uint32_t budget_ms,
                 uint64_t& started_ms) {
    net_addr addr;
    if (net_resolve_ipv4(host, port, &addr) != 0)
        return fail(NORVALED_E_NET, "cannot resolve host: %s", host);
    at.sock.reset(net_socket(addr));
    if (!at.sock) return fail(NORVALED_E_NET, "socket creation failed");
    started_ms = tick_ms(); // the budget covers TCP connect and handshake together
    switch (net_connect_within(at.sock.get(), addr, budget_ms)) {
    case connect_result::connected:
        break;
    case connect_result::timed_out:
        return connect_timed_out(host, port, budget_ms);
    case connect_result::failed:
        return fail(NORVALED_E_NET, "cannot connect to %s", host);
    }
    net_set_io_timeouts(at.sock.get(), io_timeout_ms());
    // Chunk reads are request/answer exchanges: small packets must not wait for Nagle.
    net_set_nodelay(at.sock.get());
    return 0;
}

// The host-key algorithms to ask for: those of a key met before, else those the known_hosts
// file lists for the host, else libssh2's own order.
struct key_preference {
    const char* known_hosts = "";
    const char* methods = nullptr;
};

int32_t handshake(connect_attempt& at, const char* host, int port, uint32_t budget_ms,
                  uint64_t started_ms, const key_preference& prefer) {
    at.session = libssh2_session_init_ex(nullptr, nullptr, nullptr, nullptr);
    if (at.session == nullptr) return fail(NORVALED_E_SSH, "libssh2_session_init failed");
    if (prefer.methods != nullptr)
        libssh2_session_method_pref(at.session, LIBSSH2_METHOD_HOSTKEY, prefer.methods);
    else if (prefer.known_hosts[0] != 0)
        known_hosts_prefer(at.session, prefer.known_hosts, host, port);
    const int64_t left =
        static_cast<int64_t>(started_ms + budget_ms) - static_cast<int64_t>(tick_ms());
    if (left <= 0) return connect_timed_out(host, port, budget_ms);
    libssh2_session_set_timeout(at.session, static_cast<long>(left));
    libssh2_session_set_blocking(at.session, 1);
    const int rc =
        libssh2_session_handshake(at.session, static_cast<libssh2_socket_t>(at.sock.get()));
    if (rc == LIBSSH2_ERROR_SOCKET_RECV || rc == LIBSSH2_ERROR_SOCKET_TIMEOUT ||
        rc == LIBSSH2_ERROR_TIMEOUT || rc == LIBSSH2_ERROR_SOCKET_SEND)
        return fail(NORVALED_E_TIMEOUT,
                    "SSH handshake with %s:%d timed out after %u s \xE2\x80\x94 the host accepted "
                    "the connection but did not answer as an SSH server",
                    host, port, budget_ms / 1000);
    if (rc != 0) return fail(NORVALED_E_SSH, "SSH handshake failed");
    libssh2_session_set_timeout(at.session, io_timeout_ms());
    return 0;
}

} // namespace

// OpenSSH prints SHA-256 fingerprints as unpadded base64.
std::string base64_unpadded(const unsigned char* data, std::size_t len) {
    static constexpr char k_alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < len; i += 3) {
        uint32_t v = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < len) v |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < len) v |= data[i + 2];
        const std::size_t chars = std::min<std::size_t>(4, (len - i) * 4 / 3 + 1);
        for (std::size_t c = 0; c < chars; ++c)
            out += k_alphabet[(v >> (18 - 6 * c)) & 63];
    }
    return out;
}

namespace {

std::string normalised_pin(const char* pin) {
    std::string p(pin);
    if (p.rfind("SHA256:", 0) == 0) p.erase(0, 7);
    while (!p.empty() && p.back() == '=')
        p.pop_back();
    return p;
}

bool pin_matches(LIBSSH2_SESSION* session, const char* pin) {
    const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
    return hash != nullptr &&
           base64_unpadded(reinterpret_cast<const unsigned char*>(hash), 32) == normalised_pin(pin);
}

// The key families a server may hold. A handshake shows one key, of the first family both
// sides know; a pin may name another of the server's keys, which a new handshake asking for
// that family alone brings out.
constexpr std::array<const char*, 3> k_host_key_families = {
    "ecdsa-sha2-nistp256,ecdsa-sha2-nistp384,ecdsa-sha2-nistp521",
    "ssh-ed25519",
    "rsa-sha2-512,rsa-sha2-256,ssh-rsa",
};

bool in_family(const char* family, int type) {
    const char* methods = host_key_methods(type);
    return methods != nullptr && std::strstr(family, methods) != nullptr;
}

int32_t check_host_key(connect_attempt& at, const char* host, int port, uint32_t budget,
                       const char* pin) {
    if (pin[0] == 0) return 0; // no pin: any host key is accepted, as callers expect
    if (pin_matches(at.session, pin)) return 0;
    int shown = 0;
    libssh2_session_hostkey(at.session, nullptr, &shown);
    bool talking = true; // the session finished its handshake: it can be said goodbye to
    for (const char* family : k_host_key_families) {
        if (in_family(family, shown)) continue;
        if (talking) at.say_goodbye("Looking for the pinned host key");
        at.start_over();
        uint64_t started = 0;
        if (int32_t rc = open_tcp(at, host, port, budget, started); rc != 0) return rc;
        key_preference prefer;
        prefer.methods = family;
        // A server without a key of this family ends the handshake: on to the next one.
        talking = handshake(at, host, port, budget, started, prefer) == 0;
        if (talking && pin_matches(at.session, pin)) return 0;
    }
    if (talking) at.say_goodbye("Host key mismatch");
    return fail(NORVALED_E_SSH, "SSH host key mismatch for %s", host);
}

int32_t check_known_hosts(connect_attempt& at, const char* host, int port, const auth_text& auth) {
    if (auth.known_hosts[0] == 0) return 0;
    const int32_t rc = known_hosts_verify(at.session, auth.known_hosts, host, port,
                                          auth.known_hosts_add, auth.known_hosts_hash);
    if (rc != 0) at.say_goodbye("Host key not verified");
    return rc;
}

bool file_readable(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

bool try_key(LIBSSH2_SESSION* session, const char* user, const auth_text& auth) {
    std::array<char, 520> derived{};
    const char* pubkey = nullptr;
    if (auth.pubkey_path[0] != 0) {
        pubkey = auth.pubkey_path;
    } else {
        std::snprintf(derived.data(), derived.size(), "%s.pub", auth.key_path);
        if (file_readable(derived.data())) pubkey = derived.data();
    }
    const char* passphrase = auth.passphrase[0] != 0 ? auth.passphrase : nullptr;
    return libssh2_userauth_publickey_fromfile_ex(session, user,
                                                  static_cast<unsigned>(std::strlen(user)), pubkey,
                                                  auth.key_path, passphrase) == 0;
}

int32_t authenticate(connect_attempt& at, const char* user, const auth_text& auth) {
    auth_tries tries(at.session, user);
    if (tries.done()) return 0;
    if (auth.agent && tries.agent()) return 0;
    if (auth.password[0] != 0) {
        if (tries.password(auth.password)) return 0;
    } else if (auth.key_path[0] != 0 && tries.offered("publickey")) {
        tries.note("publickey");
        if (try_key(at.session, user, auth)) return 0;
    }
    if (!libssh2_userauth_authenticated(at.session)) {
        at.say_goodbye("Auth failed");
        return fail(NORVALED_E_SSH, "SSH authentication failed for user %s (%s)", user,
                    tries.summary().c_str());
    }
    return 0;
}

auth_text read_auth_text(const char* text) {
    auth_text auth;
    if (text == nullptr || text[0] == 0) return auth;
    json_get_string(text, "password", auth.password, sizeof auth.password);
    json_get_string(text, "key_path", auth.key_path, sizeof auth.key_path);
    json_get_string(text, "pubkey_path", auth.pubkey_path, sizeof auth.pubkey_path);
    json_get_string(text, "passphrase", auth.passphrase, sizeof auth.passphrase);
    json_get_string(text, "host_key_sha256", auth.host_key_sha256, sizeof auth.host_key_sha256);
    json_get_string(text, "known_hosts", auth.known_hosts, sizeof auth.known_hosts);
    for (const auto& [key, value] :
         {std::pair{"known_hosts_add", &auth.known_hosts_add},
          std::pair{"known_hosts_hash", &auth.known_hosts_hash}, std::pair{"agent", &auth.agent},
          std::pair{"reconnect", &auth.reconnect}})
        if (json_get_bool(text, key, *value) != 0 && auth.unreadable == nullptr)
            auth.unreadable = key;
    return auth;
}

// The key the server showed in this handshake.
std::vector<unsigned char> host_key_of(LIBSSH2_SESSION* session, int& type) {
    std::size_t len = 0;
    const char* key = libssh2_session_hostkey(session, &len, &type);
    if (key == nullptr) return {};
    return std::vector<unsigned char>(key, key + len);
}

int32_t start_sftp(connect_attempt& at) {
    at.sftp = libssh2_sftp_init(at.session);
    if (at.sftp != nullptr) return 0;
    at.say_goodbye("SFTP init failed");
    return fail(NORVALED_E_SSH, "SFTP subsystem init failed");
}

// Makes the attempt's connection the link's.
void adopt(connect_attempt& at) {
    g_ssh_sock = at.sock.release();
    g_ssh_session = at.session;
    g_sftp_session = at.sftp;
    at.session = nullptr;
    at.sftp = nullptr;
}

int32_t connect_ssh(const char* host, int port, const char* user, const char* auth_json) {
    connect_attempt at;
    if (libssh2_init(0) != 0) return fail(NORVALED_E_SSH, "libssh2_init failed");
    at.libssh2_up = true;
    const uint32_t budget = connect_budget_ms();
    uint64_t started = 0;
    auto args = std::make_unique<link_args>();
    args->auth = read_auth_text(auth_json);
    const auth_text& auth = args->auth;
    if (auth.unreadable != nullptr)
        return fail(NORVALED_E_ARG, "auth member \"%s\" must be true or false", auth.unreadable);
    if (int32_t rc = open_tcp(at, host, port, budget, started); rc != 0) return rc;
    if (int32_t rc = handshake(at, host, port, budget, started, {auth.known_hosts}); rc != 0)
        return rc;
    if (int32_t rc = check_host_key(at, host, port, budget, auth.host_key_sha256); rc != 0)
        return rc;
    if (int32_t rc = check_known_hosts(at, host, port, auth); rc != 0) return rc;
    if (int32_t rc = authenticate(at, user, auth); rc != 0) return rc;
    if (int32_t rc = start_sftp(at); rc != 0) return rc;
    args->host_key = host_key_of(at.session, args->host_key_type);
    adopt(at);
    at.libssh2_up = false;
    g_connected = 1;
    link_health_reset();
    if (auth.reconnect) {
        args->host = host;
        args->port = port;
        args->user = user;
        g_link_args = std::move(args);
    }
    return 0;
}

// One reconnection with the arguments of the connect, accepting only the host key it met.
// The new connection is built beside the dead one and adopted under the link lock.
int32_t reconnect_ssh(image& img, bool& host_key_changed) {
    const link_args& a = *g_link_args;
    connect_attempt at;
    const uint32_t budget = connect_budget_ms();
    uint64_t started = 0;
    const char* host = a.host.c_str();
    if (int32_t rc = open_tcp(at, host, a.port, budget, started); rc != 0) return rc;
    key_preference prefer;
    prefer.methods = host_key_methods(a.host_key_type);
    if (int32_t rc = handshake(at, host, a.port, budget, started, prefer); rc != 0) return rc;
    int type = 0;
    if (host_key_of(at.session, type) != a.host_key) {
        host_key_changed = true;
        at.say_goodbye("Host key changed");
        return fail(NORVALED_E_SSH, "SSH host key for %s has CHANGED; refusing to reconnect", host);
    }
    if (int32_t rc = authenticate(at, a.user.c_str(), a.auth); rc != 0) return rc;
    if (int32_t rc = start_sftp(at); rc != 0) return rc;
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    if (!img.path.empty()) {
        if (int32_t rc = image_reopen_remote(img, at.sftp, handle); rc != 0) {
            at.say_goodbye("Image not reopened");
            return rc;
        }
    }
    link_guard link;
    adopt(at);
    img.sftp = g_sftp_session;
    img.handle = handle;
    img.fsync_unsupported = false;
    img.last_read_end = k_no_read;
    img.read_ahead = false;
    return 0;
}

} // namespace

int link_open_image(image& img, const char* path, uint64_t size) {
    g_link_image = &img;
    if (g_mock_mode) return image_open_mock(img, path, size);
    if (!link_is_up()) {
        bool host_key_changed = false;
        if (link_reconnect(host_key_changed) == 0) {
            link_came_back();
        } else {
            return fail(NORVALED_E_SSH,
                        "the SSH connection was lost and could not be made "
                        "again %s\xE2\x80\x94 disconnect and connect again",
                        host_key_changed ? "(the host key CHANGED) " : "");
        }
    }
    return image_open_remote(img, g_sftp_session, path, size);
}

bool link_can_reconnect() {
    return !g_mock_mode && g_link_args != nullptr && g_link_image != nullptr;
}

void link_drop_locked(image& img) {
    link_broke_locked();
    // Shut down first: every call on the dead session then fails at once instead of waiting
    // for the SSH time-out. The close is abortive: write requests still queued for the old
    // server must not reach it later, after the new link wrote newer data to the same place.
    if (g_ssh_sock != k_bad_sock) {
        net_set_abortive_close(g_ssh_sock);
        net_shutdown(g_ssh_sock);
    }
    if (img.handle != nullptr) libssh2_sftp_close_handle(img.handle);
    img.handle = nullptr;
    img.sftp = nullptr;
    if (g_sftp_session != nullptr) libssh2_sftp_shutdown(g_sftp_session);
    g_sftp_session = nullptr;
    if (g_ssh_session != nullptr) libssh2_session_free(g_ssh_session);
    g_ssh_session = nullptr;
    if (g_ssh_sock != k_bad_sock) net_close(g_ssh_sock);
    g_ssh_sock = k_bad_sock;
}

int32_t link_reconnect(bool& host_key_changed) {
    host_key_changed = false;
    if (!link_can_reconnect()) return NORVALED_E_STATE;
    err_muted quiet; // a background attempt: the caller's message is not its to write
    try {
        return reconnect_ssh(*g_link_image, host_key_changed);
    } catch (const std::bad_alloc&) {
        return NORVALED_E_RESOURCE;
    }
}

void link_probe() {
    link_guard link;
    if (!link_is_up() || g_link_image == nullptr || g_link_image->handle == nullptr) return;
    image& img = *g_link_image;
    // After a stream of reads, libssh2 may still have up to 8 MiB of read-ahead coming in
    // before the answer: on a slow link that alone can take longer than the short limit.
    libssh2_session_set_timeout(g_ssh_session,
                                img.read_ahead ? io_timeout_ms() : k_probe_answer_ms);
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    const int rc = libssh2_sftp_fstat_ex(img.handle, &attrs, 0);
    libssh2_session_set_timeout(g_ssh_session, io_timeout_ms());
    // Any answer, even an error about the file, shows the server is there.
    if (rc == 0 || rc == LIBSSH2_ERROR_SFTP_PROTOCOL) {
        link_note_io();
        img.read_ahead = false;
    } else
        link_drop_locked(img);
}

link_view link_state() {
    return {g_mock_mode != 0, g_ssh_sock, g_ssh_session, g_sftp_session};
}

void link_release() {
    g_link_args.reset();
    g_link_image = nullptr;
    link_health_reset();
    if (g_mock_mode) {
        g_mock_mode = 0;
        g_connected = 0;
        return;
    }
    ssh_release_all();
}

namespace {

// A ticket lock: made on first use and never destroyed, like the other process-wide locks.
struct link_tickets {
    std::mutex lock;
    std::condition_variable turn;
    uint64_t next = 0;    // the ticket the next arrival takes
    uint64_t serving = 0; // the ticket that holds the link
};

link_tickets& tickets() {
    static auto* t = new link_tickets;
    return *t;
}

} // namespace

void link_lock() {
    link_tickets& t = tickets();
    std::unique_lock<std::mutex> hold(t.lock);
    const uint64_t mine = t.next++;
    t.turn.wait(hold, [&] { return t.serving == mine; });
}

void link_unlock() {
    link_tickets& t = tickets();
    {
        std::lock_guard<std::mutex> hold(t.lock);
        ++t.serving;
    }
    t.turn.notify_all();
}

void ssh_release_all() {
    if (g_sftp_session != nullptr) {
        libssh2_sftp_shutdown(g_sftp_session);
        g_sftp_session = nullptr;
    }
    if (g_ssh_session != nullptr) {
        libssh2_session_disconnect_ex(g_ssh_session, k_disconnect_by_application, "Normal Shutdown",
                                      "");
        libssh2_session_free(g_ssh_session);
        g_ssh_session = nullptr;
    }
    if (g_ssh_sock != k_bad_sock) {
        net_close(g_ssh_sock);
        g_ssh_sock = k_bad_sock;
    }
    if (g_connected) {
        libssh2_exit();
        g_connected = 0;
    }
}

int32_t link_connect(const char* host, int32_t port, const char* user, const char* auth_json) {
    if (port <= 0) port = k_default_ssh_port;
    if (std::strcmp(host, "mock") == 0) {
        g_mock_mode = 1;
        g_connected = 1;
        link_health_reset();
        return 0;
    }
    // The connect builds strings; memory that cannot be had must not escape into the caller.
    try {
        return connect_ssh(host, port, user, auth_json);
    } catch (const std::bad_alloc&) {
        return fail(NORVALED_E_RESOURCE, "out of memory");
    }
}
