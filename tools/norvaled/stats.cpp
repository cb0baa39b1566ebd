#include "stats.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "norvaled.h"

namespace {

bool stats_value(const char* json, const char* key, uint64_t& out) {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "\"%s\":", key);
    const char* p = std::strstr(json, pattern);
    if (p == nullptr) return false;
    p += std::strlen(pattern);
    if (*p < '0' || *p > '9') return false;
    out = std::strtoull(p, nullptr, 10);
    return true;
}

std::string rate(uint64_t bytes, double seconds) {
    const double per_second = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    return format_bytes(static_cast<uint64_t>(per_second)) + "/s";
}

} // namespace

bool parse_stats(const char* json, stats_snapshot& out) {
    if (json == nullptr) return false;
    const std::array<std::pair<const char*, uint64_t*>, 8> members{{
        {"running", &out.running},
        {"port", &out.port},
        {"capacity", &out.capacity},
        {"cache_hits", &out.cache_hits},
        {"cache_misses", &out.cache_misses},
        {"sftp_bytes_r", &out.bytes_read},
        {"sftp_bytes_w", &out.bytes_written},
        {"dirty_chunks", &out.dirty_chunks},
    }};
    bool all = true;
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

std::string format_status(const stats_snapshot& now, const stats_snapshot& before, double seconds) {
    // Counters restart at a new start; never show a negative difference as a huge rate.
    const auto delta = [](uint64_t a, uint64_t b) { return a >= b ? a - b : a; };
    return "hits " + std::to_string(now.cache_hits) + "  misses " +
           std::to_string(now.cache_misses) + "  read " + format_bytes(now.bytes_read) + " (" +
           rate(delta(now.bytes_read, before.bytes_read), seconds) + ")  written " +
           format_bytes(now.bytes_written) + " (" +
           rate(delta(now.bytes_written, before.bytes_written), seconds) + ")  dirty " +
           std::to_string(now.dirty_chunks) + " (" +
           format_bytes(now.dirty_chunks * k_chunk_bytes) + ")";
}
