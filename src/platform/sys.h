// Time, environment, temporary directory and 64-bit file positions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Monotonic milliseconds since an arbitrary start.
uint64_t tick_ms();
void sleep_ms(uint32_t ms);

// The variable's value, or false when it is not set.
bool env_get(const char* name, std::string& value);
// The temporary directory, with a trailing separator.
std::string temp_dir();

// 64-bit seek and size on a stdio stream: 0 or -1; the size is -1 when unknown.
int file_seek64(std::FILE* f, uint64_t offset);
int64_t file_size(std::FILE* f);
// Writes the stream's buffer out and has the system put the file's data on its disk (fsync;
// FlushFileBuffers on Windows): 0 or -1.
int file_sync(std::FILE* f);
