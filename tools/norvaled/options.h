// The command line of `norvaled serve`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int64_t k_min_disk_size = 64ll << 20;
constexpr int64_t k_demo_disk_size = 256ll << 20;
constexpr const char* k_demo_image = "norvaled-demo.img";

struct serve_options {
    std::string image = k_demo_image;
    int64_t size = 0; // 0 when --size was not given
    int32_t port = 0; // 0 when --port was not given
    bool quiet = false;
    bool help = false;

    // --sftp [USER@]HOST[:PORT] or sftp://[USER@]HOST[:PORT]/PATH; empty host means the local
    // mock image. An empty user and port 0 are filled from ssh's configuration, else the
    // local user name and 22.
    std::string user;
    std::string host;
    int32_t ssh_port = 0;
    std::string ssh_config_file; // -F FILE: only this configuration file is read
    bool accept_new_host_key = false;
    bool insecure_any_host_key = false;
    bool image_given = false; // the image came as the first argument
    std::string key_path;
    std::string pubkey_path;
    std::string password_env;
    std::string passphrase_env;
    std::string host_key_sha256;
    std::string connect_timeout_ms;

    char mount_letter = 0; // upper case, 0 for none
    bool allow_format = false;

    bool sftp() const { return !host.empty(); }
};

// Fills `out` from the arguments after "serve". Returns true, or false with one line in
// `err` saying what is wrong.
bool parse_serve_options(const std::vector<std::string>& args, serve_options& out,
                         std::string& err);

// "67108864", "64M", "2g", "1T": bytes with an optional K/M/G/T (1024-based) suffix.
// False for anything else, including values that do not fit in 63 bits.
bool parse_size(std::string_view text, int64_t& out);

// A whole decimal number in [lo, hi].
bool parse_number(std::string_view text, int64_t lo, int64_t hi, int64_t& out);

// "[user@]host[:port]"; false when a part is empty or the port is bad (user stays empty and
// port 0 when not given).
bool parse_sftp_target(std::string_view text, std::string& user, std::string& host, int32_t& port);
