// The stand-ins' shared call record: one line per call appended to the file that
// NORVALED_STANDIN_LOG names, so that a test sees which calls arrived, in order, with what.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdarg>
#include <cstdio>

inline void standin_record(const char* fmt, ...) {
    char path[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableA("NORVALED_STANDIN_LOG", path, sizeof path);
    if (n == 0 || n >= sizeof path) return;
    std::FILE* f = std::fopen(path, "ab");
    if (f == nullptr) return;
    va_list args;
    va_start(args, fmt);
    std::vfprintf(f, fmt, args);
    va_end(args);
    std::fputs("\r\n", f);
    std::fclose(f);
}
