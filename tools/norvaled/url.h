// The image named as one argument: sftp://[user@]host[:port]/path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sftp_url {
    std::string user; // empty when the URL names none
    std::string host;
    int32_t port = 0; // 0 when the URL names none
    std::string path; // absolute, or relative to the home directory for "/~/..."
};

// True for text that starts with "sftp://" (in any case).
bool is_sftp_url(std::string_view text);

// Reads an sftp:// URL: the path after the host is absolute ("sftp://h/srv/a.img" is
// /srv/a.img), and "/~/" makes it relative to the home directory ("sftp://h/~/a.img" is
// a.img), as curl reads them. %XX escapes are decoded. False with one line in err.
bool parse_sftp_url(std::string_view text, sftp_url& out, std::string& err);
