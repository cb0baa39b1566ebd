#include "stats.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "norvaled.h"

namespace {

// The text just after "key": in `json`, or nullptr when the member is missing.
const char* stats_member(const char* json, const char* key) {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "\"%s\":", key);
    const char* p = std::strstr(json, pattern);
    return p == nullptr ? nullptr : p + std::strlen(pattern);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool stats_value(const char* json, const char* key, uint64_t& out) {
    const char* p = stats_member(json, key);
    if (p == nullptr || !is_digit(*p)) return false;
    out = std::strtoull(p, nullptr, 10);
    return true;
}

// Result codes are negative.
bool stats_signed(const char* json, const char* key, int64_t& out) {
    const char* p = stats_member(json, key);
    if (p == nullptr || !is_digit(p[*p == '-' ? 1 : 0])) return false;
    out = std::strtoll(p, nullptr, 10);
    return true;
}

std::string rate(uint64_t bytes, double seconds) {
    const double per_second = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    return format_bytes(static_cast<uint64_t>(per_second)) + "/s";
}

// Why the last attempt failed, in words, for the line printed when it did.
std::string attempt_failure(int64_t code) {
    const char* why = nullptr;
    switch (code) {
    case NORVALED_E_NET:
        why = "the server cannot be reached";
        break;
    case NORVALED_E_TIMEOUT:
        why = "the server did not answer in time";
        break;
    case NORVALED_E_SSH:
        why = "SSH, SFTP or the image failed";
        break;
    default:
        break;
    }
    const std::string code_text = "code " + std::to_string(code);
    return why == nullptr ? code_text : std::string(why) + " (" + code_text + ")";
}

} // namespace

bool parse_stats(const char* json, stats_snapshot& out) {
    if (json == nullptr) return false;
    const std::array<std::pair<const char*, uint64_t*>, 13> members{{
        {"running", &out.running},
        {"port", &out.port},
        {"capacity", &out.capacity},
        {"cache_hits", &out.cache_hits},
        {"cache_misses", &out.cache_misses},
        {"sftp_bytes_r", &out.bytes_read},
        {"sftp_bytes_w", &out.bytes_written},
        {"dirty_chunks", &out.dirty_chunks},
        {"link_up", &out.link_up},
        {"reconnects", &out.reconnects},
        {"reconnect_attempts", &out.reconnect_attempts},
        {"reconnect_next_ms", &out.reconnect_next_ms},
        {"link_hostkey_changed", &out.link_hostkey_changed},
    }};
    bool all = stats_signed(json, "link_error", out.link_error);
    for (const auto& [key, value] : members)
        all = stats_value(json, key, *value) && all;
    return all;
}

stats_snapshot read_stats() {
    stats_snapshot s;
    parse_stats(norvaled_stats(), s);
    return s;
}

std::string format_bytes(uint64_t bytes) {
    constexpr std::array<const char*, 5> k_units{"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (v >= 1024 && unit + 1 < k_units.size()) {
        v /= 1024;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, k_units[unit]);
    return buf;
}

std::string format_link(const stats_snapshot& s) {
    if (s.link_up != 0) return "";
    if (s.link_hostkey_changed != 0)
        return "host key CHANGED, refusing the server (attempt " +
               std::to_string(s.reconnect_attempts) + ")";
    // Rounded up: "next in 0 s" would read as an attempt that never comes.
    const uint64_t next_s = (s.reconnect_next_ms + 999) / 1000;
    return "link down, reconnecting (attempt " + std::to_string(s.reconnect_attempts + 1) +
           (next_s == 0 ? ", trying now)" : ", next in " + std::to_string(next_s) + " s)");
}

std::vector<std::string> format_link_change(const stats_snapshot& before,
                                            const stats_snapshot& now) {
    std::vector<std::string> lines;
    // Both lines when it came back and broke again between two looks.
    const bool back = now.reconnects > before.reconnects;
    if (back) lines.push_back("link back up (reconnect " + std::to_string(now.reconnects) + ")");
    if (now.link_up != 0) return lines;
    const bool failed_again = now.reconnect_attempts != before.reconnect_attempts ||
                              now.link_hostkey_changed != before.link_hostkey_changed;
    if (before.link_up != 0 || back || failed_again) {
        std::string line = format_link(now);
        if (now.link_error != 0 && now.link_hostkey_changed == 0)
            line += ": the last attempt failed, " + attempt_failure(now.link_error);
        lines.push_back(line);
    }
    return lines;
}

std::string format_status(const stats_snapshot& now, const stats_snapshot& before, double seconds) {
    // Counters restart at a new start; never show a negative difference as a huge rate.
    const auto delta = [](uint64_t a, uint64_t b) { return a >= b ? a - b : a; };
    const std::string link = format_link(now);
    return (link.empty() ? "" : link + "  ") + "hits " + std::to_string(now.cache_hits) +
           "  misses " + std::to_string(now.cache_misses) + "  read " +
           format_bytes(now.bytes_read) + " (" +
           rate(delta(now.bytes_read, before.bytes_read), seconds) + ")  written " +
           format_bytes(now.bytes_written) + " (" +
           rate(delta(now.bytes_written, before.bytes_written), seconds) + ")  dirty " +
           std::to_string(now.dirty_chunks) + " (" +
           format_bytes(now.dirty_chunks * k_chunk_bytes) + ")";
}
