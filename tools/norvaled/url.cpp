#include "url.h"

#include <cctype>

#include "options.h"

namespace {

constexpr std::string_view k_scheme = "sftp://";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool decode(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() + 0 || hex_value(text[i + 1]) < 0 || hex_value(text[i + 2]) < 0)
            return false;
        const char c = static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
        if (c == 0) return false;
        out += c;
        i += 2;
    }
    return true;
}

} // namespace

bool is_sftp_url(std::string_view text) {
    if (text.size() < k_scheme.size()) return false;
    for (std::size_t i = 0; i < k_scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != k_scheme[i]) return false;
    return true;
}

bool parse_sftp_url(std::string_view text, sftp_url& out, std::string& err) {
    const std::string shown(text);
    err = "bad URL '" + shown + "': give sftp://[USER@]HOST[:PORT]/PATH";
    if (!is_sftp_url(text)) return false;
    text.remove_prefix(k_scheme.size());
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return false;
    std::string_view authority = text.substr(0, slash);
    const std::string_view path = text.substr(slash);
    out = sftp_url{};
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        if (at == 0 || !decode(authority.substr(0, at), out.user)) return false;
        authority.remove_prefix(at + 1);
    }
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
        int64_t port = 0;
        if (!parse_number(authority.substr(colon + 1), 1, 65535, port)) return false;
        out.port = static_cast<int32_t>(port);
        authority = authority.substr(0, colon);
    }
    if (authority.empty() || !decode(authority, out.host)) return false;
    if (!decode(path, out.path)) return false;
    // A wrong reading here would create a blank image somewhere else, so "/~" alone or a
    // path that ends at a directory is refused rather than guessed at.
    if (out.path.rfind("/~/", 0) == 0) out.path.erase(0, 3);
    if (out.path.empty() || out.path == "/" || out.path.back() == '/') {
        err = "bad URL '" + shown + "': the path must name the image file";
        return false;
    }
    err.clear();
    return true;
}
