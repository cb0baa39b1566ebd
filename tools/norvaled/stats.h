// The library's statistics text, read into numbers and shown as one status line.
#pragma once

#include <cstdint>
#include <string>

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
};

// Reads the members above from a statistics text; false when one is missing.
bool parse_stats(const char* json, stats_snapshot& out);

// norvaled_stats() now; members the text lacks read 0.
stats_snapshot read_stats();

// "512 B", "3.5 KiB", "256.0 MiB", "1.2 GiB".
std::string format_bytes(uint64_t bytes);

// hits, misses, bytes read and written, dirty chunks, and the image's read and write
// throughput since `before`, `seconds` ago.
std::string format_status(const stats_snapshot& now, const stats_snapshot& before, double seconds);
