// The attachment's readers of text that other programs wrote: the listing of
// "iscsicli SessionList" and the result file of the elevation helper. They read an open
// stream and touch nothing else but the mount log, so any bytes can be fed to them.
#pragma once

#include <cstddef>
#include <cstdio>

// 1 when a session block names the target IQN, 0 when the listing has its "Total of" line
// and no such block, -1 when it is no listing. id (capacity cap, or null and 0) receives the
// identifier of the last session block naming the target, or "" when that one is unusable.
int scan_session_listing(std::FILE* listing, char* id, std::size_t cap);

// Copies every non-empty line into the mount log under tag; true when an RC line was read,
// whose number (the last one's) goes to *verdict.
bool read_elevation_result(std::FILE* result, const char* tag, int* verdict);
