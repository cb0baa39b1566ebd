#include "auth.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

bool read_secret(const std::string& var, const char* option, std::string& out, std::string& err) {
    if (var.empty()) return true;
    const char* value = std::getenv(var.c_str());
    if (value == nullptr || value[0] == 0) {
        err = std::string(option) + " " + var + ": that environment variable is not set";
        return false;
    }
    out = value;
    return true;
}

bool readable(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

// A missing key file would otherwise surface only as "SSH authentication failed".
bool check_key_files(const serve_options& o, std::string& err) {
    for (const auto& [path, option] :
         {std::pair{&o.key_path, "--key"}, std::pair{&o.pubkey_path, "--pubkey"}}) {
        if (!path->empty() && !readable(*path)) {
            err = std::string(option) + " " + *path + ": cannot read that file";
            return false;
        }
    }
    return true;
}

} // namespace

std::string auth_escape(std::string_view text) {
    // Other control characters go as they are: the library's reader copies them unchanged
    // and would not decode a \u escape.
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool build_auth_text(const serve_options& o, std::string& out, std::string& err) {
    std::string password;
    std::string passphrase;
    if (!read_secret(o.password_env, "--password-env", password, err) ||
        !read_secret(o.passphrase_env, "--passphrase-env", passphrase, err) ||
        !check_key_files(o, err))
        return false;
    const std::array<std::pair<const char*, const std::string*>, 5> members{{
        {"password", &password},
        {"key_path", &o.key_path},
        {"pubkey_path", &o.pubkey_path},
        {"passphrase", &passphrase},
        {"host_key_sha256", &o.host_key_sha256},
    }};
    out = "{";
    for (const auto& [key, value] : members) {
        if (value->empty()) continue;
        if (out.size() > 1) out += ',';
        out += '"';
        out += key;
        out += "\":\"";
        out += auth_escape(*value);
        out += '"';
    }
    out += '}';
    return true;
}
