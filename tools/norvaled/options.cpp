#include "options.h"

#include <array>
#include <cctype>
#include <limits>

#include "url.h"

namespace {

using apply_fn = bool (*)(serve_options&, const std::string& value, std::string& err);

struct option_spec {
    std::string_view name;
    bool takes_value;
    apply_fn apply;
};

bool apply_size(serve_options& o, const std::string& v, std::string& err) {
    if (!parse_size(v, o.size)) {
        err = "bad size '" + v + "': give bytes or a number with K, M, G or T, e.g. 256M";
        return false;
    }
    if (o.size < k_min_disk_size) {
        err = "size '" + v + "' is below the minimum of 64M";
        return false;
    }
    return true;
}

bool apply_port(serve_options& o, const std::string& v, std::string& err) {
    int64_t n = 0;
    if (!parse_number(v, 1, 65535, n)) {
        err = "bad port '" + v + "': give a number from 1 to 65535";
        return false;
    }
    o.port = static_cast<int32_t>(n);
    return true;
}

bool apply_sftp(serve_options& o, const std::string& v, std::string& err) {
    if (!parse_sftp_target(v, o.user, o.host, o.ssh_port)) {
        err = "bad --sftp '" + v + "': give [USER@]HOST[:PORT]";
        return false;
    }
    // The library reads the host name "mock" as "no server, a local file".
    if (o.host == "mock") {
        err = "--sftp host 'mock' names no server; serve a local file with --image alone";
        return false;
    }
    return true;
}

bool apply_timeout(serve_options& o, const std::string& v, std::string& err) {
    int64_t n = 0;
    if (!parse_number(v, 1, std::numeric_limits<int32_t>::max(), n)) {
        err = "bad --connect-timeout-ms '" + v + "': give a positive number of milliseconds";
        return false;
    }
    o.connect_timeout_ms = std::to_string(n);
    return true;
}

bool apply_mount(serve_options& o, const std::string& v, std::string& err) {
    const bool letter = (v.size() == 1 || (v.size() == 2 && v[1] == ':')) &&
                        std::isalpha(static_cast<unsigned char>(v[0]));
    if (!letter) {
        err = "bad drive letter '" + v + "': give one letter from A to Z";
        return false;
    }
    o.mount_letter = static_cast<char>(std::toupper(static_cast<unsigned char>(v[0])));
    return true;
}

bool apply_env_name(std::string& into, const std::string& v, std::string& err) {
    if (v.find('=') != std::string::npos) {
        err = "bad environment variable name '" + v + "'";
        return false;
    }
    into = v;
    return true;
}

bool apply_flag(bool& flag) {
    flag = true;
    return true;
}

constexpr std::array<option_spec, 18> k_options{{
    {"--image", true,
     [](serve_options& o, const std::string& v, std::string&) { return o.image = v, true; }},
    {"--size", true, apply_size},
    {"--port", true, apply_port},
    {"--sftp", true, apply_sftp},
    {"--key", true,
     [](serve_options& o, const std::string& v, std::string&) { return o.key_path = v, true; }},
    {"--pubkey", true,
     [](serve_options& o, const std::string& v, std::string&) { return o.pubkey_path = v, true; }},
    {"--password-env", true,
     [](serve_options& o, const std::string& v, std::string& e) {
         return apply_env_name(o.password_env, v, e);
     }},
    {"--passphrase-env", true,
     [](serve_options& o, const std::string& v, std::string& e) {
         return apply_env_name(o.passphrase_env, v, e);
     }},
    {"--host-key-sha256", true,
     [](serve_options& o, const std::string& v, std::string&) {
         return o.host_key_sha256 = v, true;
     }},
    {"--connect-timeout-ms", true, apply_timeout},
    {"-F", true,
     [](serve_options& o, const std::string& v, std::string&) {
         return o.ssh_config_file = v, true;
     }},
    {"--accept-new-host-key", false,
     [](serve_options& o, const std::string&, std::string&) {
         return apply_flag(o.accept_new_host_key);
     }},
    {"--insecure-any-host-key", false,
     [](serve_options& o, const std::string&, std::string&) {
         return apply_flag(o.insecure_any_host_key);
     }},
    {"--mount", true, apply_mount},
    {"--allow-format", false,
     [](serve_options& o, const std::string&, std::string&) { return o.allow_format = true; }},
    {"--quiet", false,
     [](serve_options& o, const std::string&, std::string&) { return o.quiet = true; }},
    {"--help", false,
     [](serve_options& o, const std::string&, std::string&) { return o.help = true; }},
    {"-h", false, [](serve_options& o, const std::string&, std::string&) { return o.help = true; }},
}};

const option_spec* find_option(std::string_view name) {
    for (const option_spec& opt : k_options)
        if (opt.name == name) return &opt;
    return nullptr;
}

// Combinations that cannot work, found before anything is connected.
bool check_combination(const serve_options& o, std::string& err) {
    const std::array<std::pair<bool, const char*>, 8> sftp_only{{
        {!o.ssh_config_file.empty(), "-F"},
        {o.accept_new_host_key, "--accept-new-host-key"},
        {o.insecure_any_host_key, "--insecure-any-host-key"},
        {!o.key_path.empty(), "--key"},
        {!o.pubkey_path.empty(), "--pubkey"},
        {!o.password_env.empty(), "--password-env"},
        {!o.passphrase_env.empty(), "--passphrase-env"},
        {!o.host_key_sha256.empty(), "--host-key-sha256"},
    }};
    for (const auto& [given, name] : sftp_only) {
        if (given && !o.sftp()) {
            err = std::string(name) + " needs --sftp USER@HOST";
            return false;
        }
    }
    if ((!o.pubkey_path.empty() || !o.passphrase_env.empty()) && o.key_path.empty()) {
        err = std::string(o.pubkey_path.empty() ? "--passphrase-env" : "--pubkey") +
              " needs --key FILE";
        return false;
    }
    // The library tries a password alone, so a key given with it would be silently unused.
    if (!o.key_path.empty() && !o.password_env.empty()) {
        err = "--key and --password-env exclude each other: give one way to log in";
        return false;
    }
    if (o.insecure_any_host_key && (o.accept_new_host_key || !o.host_key_sha256.empty())) {
        err = "--insecure-any-host-key excludes --accept-new-host-key and --host-key-sha256";
        return false;
    }
    if (!o.connect_timeout_ms.empty() && !o.sftp()) {
        err = "--connect-timeout-ms needs --sftp USER@HOST";
        return false;
    }
    if (o.sftp() && o.image.empty()) {
        err = "--sftp needs --image, the image's path on the server";
        return false;
    }
    // A remote image's size cannot be looked up before connecting, and a guessed size would
    // either hide the end of the disk or lengthen the remote file.
    if (o.sftp() && o.size == 0) {
        err = "--sftp needs --size, the size of the disk (an image is never shortened)";
        return false;
    }
    if (o.allow_format && o.mount_letter == 0) {
        err = "--allow-format needs --mount LETTER";
        return false;
    }
    return true;
}

// The image as the first argument: a local path or an sftp:// URL.
bool take_image_argument(const std::string& arg, serve_options& out, std::string& err) {
    out.image_given = true;
    if (!is_sftp_url(arg)) return out.image = arg, true;
    sftp_url url;
    if (!parse_sftp_url(arg, url, err)) return false;
    out.user = url.user;
    out.host = url.host;
    out.ssh_port = url.port;
    out.image = url.path;
    if (out.host == "mock") {
        err = "host 'mock' names no server; serve a local file by its path";
        return false;
    }
    return true;
}

// Takes the option at args[i] (and its value), advancing i past what it used.
bool take_option(const std::vector<std::string>& args, std::size_t& i, serve_options& out,
                 std::string& err) {
    const std::string& arg = args[i];
    if (i == 0 && !arg.empty() && arg[0] != '-') return take_image_argument(arg, out, err);
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const option_spec* opt = arg.rfind("-", 0) == 0 ? find_option(name) : nullptr;
    if (opt == nullptr) {
        err = arg.rfind("-", 0) == 0 ? "unknown option '" + name + "'"
                                     : "unexpected argument '" + arg + "'";
        err += " (see norvaled serve --help)";
        return false;
    }
    std::string value;
    if (eq != std::string::npos) {
        if (!opt->takes_value) {
            err = name + " takes no value";
            return false;
        }
        value = arg.substr(eq + 1);
    } else if (opt->takes_value) {
        if (i + 1 >= args.size()) {
            err = name + " needs a value";
            return false;
        }
        value = args[++i];
    }
    if (opt->takes_value && value.empty()) {
        err = name + " needs a value";
        return false;
    }
    return opt->apply(out, value, err);
}

} // namespace

bool parse_serve_options(const std::vector<std::string>& args, serve_options& out,
                         std::string& err) {
    out = serve_options{};
    out.image.clear();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!take_option(args, i, out, err)) return false;
        if (out.help) return true;
    }
    if (!check_combination(out, err)) return false;
    if (!out.sftp() && out.image.empty()) out.image = k_demo_image;
    return true;
}

bool parse_number(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n < lo || n > hi) return false;
    out = n;
    return true;
}

bool parse_size(std::string_view text, int64_t& out) {
    constexpr std::string_view k_suffixes = "KMGT";
    int shift = 0;
    if (!text.empty()) {
        const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
        const std::size_t at = k_suffixes.find(last);
        if (at != std::string_view::npos) {
            shift = 10 * static_cast<int>(at + 1);
            text.remove_suffix(1);
        }
    }
    int64_t n = 0;
    const int64_t limit = std::numeric_limits<int64_t>::max() >> shift;
    if (!parse_number(text, 0, limit, n)) return false;
    out = n << shift;
    return true;
}

bool parse_sftp_target(std::string_view text, std::string& user, std::string& host, int32_t& port) {
    // The last '@' splits, so a user name may itself hold one.
    const std::size_t at = text.rfind('@');
    if (at == 0) return false;
    std::string_view rest = at == std::string_view::npos ? text : text.substr(at + 1);
    int64_t p = 0;
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
        if (!parse_number(rest.substr(colon + 1), 1, 65535, p)) return false;
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) return false;
    user = at == std::string_view::npos ? std::string() : std::string(text.substr(0, at));
    host = std::string(rest);
    port = static_cast<int32_t>(p);
    return true;
}
