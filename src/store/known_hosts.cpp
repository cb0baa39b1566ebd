// known_hosts as OpenSSH keeps it. Each line goes through libssh2's own parser on its own, so
// that a line it cannot read (a marker, a pattern, a key type it lacks) is skipped rather
// than ending the read, as libssh2's file reader would.
#include "store/known_hosts.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "norvaled.h"
#include "state/state.h"
#include "store/sftp.h"
#include "store/sha1.h"

namespace {

constexpr int k_default_ssh_port = 22;

struct known_hosts_file {
    LIBSSH2_KNOWNHOSTS* hosts = nullptr;
    std::vector<std::string> revoked; // keys in base64 without padding
    explicit known_hosts_file(LIBSSH2_SESSION* session) : hosts(libssh2_knownhost_init(session)) {}
    ~known_hosts_file() {
        if (hosts != nullptr) libssh2_knownhost_free(hosts);
    }
    known_hosts_file(const known_hosts_file&) = delete;
    known_hosts_file& operator=(const known_hosts_file&) = delete;
};

std::string without_padding(std::string key) {
    while (!key.empty() && key.back() == '=')
        key.pop_back();
    return key;
}

// "@revoked hosts keytype key": the key is refused for every host.
void note_revoked(known_hosts_file& f, const std::string& line) {
    std::istringstream fields(line);
    std::string marker, hosts, type, key;
    if (fields >> marker >> hosts >> type >> key) f.revoked.push_back(without_padding(key));
}

void load(known_hosts_file& f, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (f.hosts != nullptr && std::getline(in, line)) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        line.erase(0, start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("@revoked", 0) == 0) {
            note_revoked(f, line);
            continue;
        }
        if (line[0] == '@' || line[0] == '#') continue; // @cert-authority: no certificates here
        libssh2_knownhost_readline(f.hosts, line.c_str(), line.size(),
                                   LIBSSH2_KNOWNHOST_FILE_OPENSSH);
    }
}

// How OpenSSH names the host in the file: the bare name on port 22, else "[host]:port".
std::string lookup_name(const char* host, int port) {
    if (port == k_default_ssh_port) return host;
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

int known_key_type(int hostkey_type) {
    switch (hostkey_type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default:
        return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
    }
}

const char* algorithms_of(int key_type) {
    switch (key_type) {
    case LIBSSH2_KNOWNHOST_KEY_SSHRSA:
        return "rsa-sha2-512,rsa-sha2-256,ssh-rsa";
    case LIBSSH2_KNOWNHOST_KEY_SSHDSS:
        return "ssh-dss";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_256:
        return "ecdsa-sha2-nistp256";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_384:
        return "ecdsa-sha2-nistp384";
    case LIBSSH2_KNOWNHOST_KEY_ECDSA_521:
        return "ecdsa-sha2-nistp521";
    case LIBSSH2_KNOWNHOST_KEY_ED25519:
        return "ssh-ed25519";
    default:
        return nullptr;
    }
}

void append_names(std::string& list, const std::string& names) {
    std::size_t at = 0;
    while (at <= names.size()) {
        const std::size_t comma = std::min(names.find(',', at), names.size());
        const std::string name = names.substr(at, comma - at);
        if (!name.empty() && ("," + list + ",").find("," + name + ",") == std::string::npos)
            list += (list.empty() ? "" : ",") + name;
        at = comma + 1;
    }
}

// The entry's own key checked against the name: a match means the entry is for this host,
// hashed or not.
bool entry_names_host(LIBSSH2_KNOWNHOSTS* hosts, const libssh2_knownhost* entry,
                      const std::string& name) {
    const int type = entry->typemask & LIBSSH2_KNOWNHOST_KEY_MASK;
    return libssh2_knownhost_checkp(hosts, name.c_str(), -1, entry->key, std::strlen(entry->key),
                                    LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_BASE64 |
                                        type,
                                    nullptr) == LIBSSH2_KNOWNHOST_CHECK_MATCH;
}

std::string base64_padded(const unsigned char* data, std::size_t len) {
    std::string out = base64_unpadded(data, len);
    while (out.size() % 4 != 0)
        out += '=';
    return out;
}

// "|1|salt|hash" parts for a hashed entry: HMAC-SHA1 of the name keyed with a random salt.
void hashed_name(const std::string& name, std::string& salt64, std::string& hash64) {
    std::random_device random;
    std::array<unsigned char, 20> salt{};
    for (auto& b : salt)
        b = static_cast<unsigned char>(random());
    const sha1_digest mac = hmac_sha1(salt.data(), salt.size(),
                                      reinterpret_cast<const uint8_t*>(name.data()), name.size());
    salt64 = base64_padded(salt.data(), salt.size());
    hash64 = base64_padded(mac.data(), mac.size());
}

// One line appended, never a rewrite: other entries and their comments stay as they are.
int32_t append_entry(known_hosts_file& f, const std::string& path, const std::string& name,
                     const char* key, std::size_t key_len, int key_type, bool hash) {
    std::string host = name;
    std::string salt;
    int type = LIBSSH2_KNOWNHOST_TYPE_PLAIN;
    if (hash) {
        hashed_name(name, salt, host);
        type = LIBSSH2_KNOWNHOST_TYPE_SHA1;
    }
    libssh2_knownhost* entry = nullptr;
    if (libssh2_knownhost_addc(f.hosts, host.c_str(), hash ? salt.c_str() : nullptr, key, key_len,
                               nullptr, 0, type | LIBSSH2_KNOWNHOST_KEYENC_RAW | key_type,
                               &entry) != 0)
        return fail(NORVALED_E_SSH, "cannot add the host key of %s", name.c_str());
    char line[8192];
    std::size_t len = 0;
    if (libssh2_knownhost_writeline(f.hosts, entry, line, sizeof line, &len,
                                    LIBSSH2_KNOWNHOST_FILE_OPENSSH) != 0)
        return fail(NORVALED_E_SSH, "cannot add the host key of %s", name.c_str());
    std::FILE* out = std::fopen(path.c_str(), "ab+");
    if (out == nullptr) return fail(NORVALED_E_SSH, "cannot write %s", path.c_str());
    // A last line without its line end must not swallow the new entry.
    bool needs_newline = false;
    if (std::fseek(out, 0, SEEK_END) == 0 && std::ftell(out) > 0 &&
        std::fseek(out, -1, SEEK_END) == 0)
        needs_newline = std::fgetc(out) != '\n';
    std::fseek(out, 0, SEEK_END);
    const bool written =
        (!needs_newline || std::fputc('\n', out) != EOF) && std::fwrite(line, 1, len, out) == len;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) return fail(NORVALED_E_SSH, "cannot write %s", path.c_str());
    return 0;
}

} // namespace

std::string host_key_fingerprint(LIBSSH2_SESSION* session) {
    const char* hash = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
    if (hash == nullptr) return "";
    return "SHA256:" + base64_unpadded(reinterpret_cast<const unsigned char*>(hash), 32);
}

const char* host_key_methods(int hostkey_type) {
    return algorithms_of(known_key_type(hostkey_type));
}

void known_hosts_prefer(LIBSSH2_SESSION* session, const std::string& path, const char* host,
                        int port) {
    known_hosts_file f(session);
    load(f, path);
    if (f.hosts == nullptr) return;
    const std::string name = lookup_name(host, port);
    std::string wanted;
    libssh2_knownhost* entry = nullptr;
    while (libssh2_knownhost_get(f.hosts, &entry, entry) == 0) {
        const char* algorithms = algorithms_of(entry->typemask & LIBSSH2_KNOWNHOST_KEY_MASK);
        if (algorithms != nullptr && entry_names_host(f.hosts, entry, name))
            append_names(wanted, algorithms);
    }
    if (wanted.empty()) return;
    const char** supported = nullptr;
    const int count = libssh2_session_supported_algs(session, LIBSSH2_METHOD_HOSTKEY, &supported);
    for (int i = 0; i < count; ++i)
        append_names(wanted, supported[i]);
    if (count > 0) libssh2_free(session, supported);
    libssh2_session_method_pref(session, LIBSSH2_METHOD_HOSTKEY, wanted.c_str());
}

int32_t known_hosts_verify(LIBSSH2_SESSION* session, const std::string& path, const char* host,
                           int port, bool add, bool hash) {
    std::size_t key_len = 0;
    int hostkey_type = 0;
    const char* key = libssh2_session_hostkey(session, &key_len, &hostkey_type);
    const std::string fp = host_key_fingerprint(session);
    if (key == nullptr) return fail(NORVALED_E_SSH, "SSH server %s showed no host key", host);
    known_hosts_file f(session);
    if (f.hosts == nullptr) return fail(NORVALED_E_RESOURCE, "out of memory");
    load(f, path);
    const std::string key64 =
        without_padding(base64_unpadded(reinterpret_cast<const unsigned char*>(key), key_len));
    for (const std::string& revoked : f.revoked)
        if (revoked == key64)
            return fail(NORVALED_E_SSH, "SSH host key for %s is REVOKED (%s); refusing to connect",
                        host, fp.c_str());
    const int key_type = known_key_type(hostkey_type);
    const std::string name = lookup_name(host, port);
    const int check = libssh2_knownhost_checkp(
        f.hosts, name.c_str(), -1, key, key_len,
        LIBSSH2_KNOWNHOST_TYPE_PLAIN | LIBSSH2_KNOWNHOST_KEYENC_RAW | key_type, nullptr);
    if (check == LIBSSH2_KNOWNHOST_CHECK_MATCH) return 0;
    if (check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH)
        return fail(NORVALED_E_SSH, "SSH host key for %s has CHANGED (%s); refusing to connect",
                    host, fp.c_str());
    if (add) return append_entry(f, path, name, key, key_len, key_type, hash);
    return fail(NORVALED_E_SSH, "SSH host key for %s is not known (%s)", host, fp.c_str());
}
