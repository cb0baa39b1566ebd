// The library's statistics text, read into numbers and shown as one status line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint64_t k_chunk_bytes = 2u << 20; // the cache's unit of reads and write-backs

struct stats_snapshot {
    uint64_t running = 0;
    uint64_t port = 0;
    uint64_t capacity = 0;
    uint64_t cache_hits = 0;
    uint64_t cache_misses = 0;
    uint64_t bytes_read = 0;    // read from the image
    uint64_t bytes_written = 0; // written to the image
    uint64_t dirty_chunks = 0;

    // The SSH link; a text without these members reads as a link that is up.
    uint64_t link_up = 1;
    uint64_t reconnects = 0;         // successful reconnections since the connect
    uint64_t reconnect_attempts = 0; // failed attempts since the link went down
    uint64_t reconnect_next_ms = 0;  // until the next attempt; 0 while one runs
    int64_t link_error = 0;          // the last failed attempt's code, or 0
    uint64_t link_hostkey_changed = 0;
};

// Reads the members above from a statistics text; false when one is missing (it keeps the
// value it had).
bool parse_stats(const char* json, stats_snapshot& out);

// norvaled_stats() now; members the text lacks read 0.
stats_snapshot read_stats();

// "512 B", "3.5 KiB", "256.0 MiB", "1.2 GiB".
std::string format_bytes(uint64_t bytes);

// "" while the link is up; else "link down, reconnecting (attempt n, next in t s)" with n the
// attempt to come, or "host key CHANGED, refusing the server (attempt n)" with n the attempts
// that failed, when the last one met another host key.
std::string format_link(const stats_snapshot& s);

// The lines to print when the link changed from `before` to `now`, none when it did not: it
// came back up (the reconnections grew), went down, or another attempt failed (with why).
std::vector<std::string> format_link_change(const stats_snapshot& before,
                                            const stats_snapshot& now);

// The link's state when it is down, then hits, misses, bytes read and written, dirty chunks,
// and the image's read and write throughput since `before`, `seconds` ago.
std::string format_status(const stats_snapshot& now, const stats_snapshot& before, double seconds);
