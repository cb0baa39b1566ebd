// Time, environment, temporary directory and 64-bit file positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Monotonic milliseconds since an arbitrary start.
uint64_t tick_ms();
void sleep_ms(uint32_t ms);

// The variable's value, or false when it is not set.
bool env_get(const char* name, std::string& value);
// The user's temporary directory, with a trailing separator; empty when it cannot be told
// (never a directory shared with other users in its place).
std::string temp_dir();
// The separator between a directory and a name in this system's paths.
char dir_separator();
// Creates a new file for writing, readable and writable by this user only; fails when a file
// of that name exists (the caller deletes a stale one first). In text mode line feeds are
// written as the system's line end, for scripts its own tools read line by line.
enum class file_mode { binary, text };
std::FILE* file_create_private(const char* path, file_mode mode = file_mode::binary);

// Opens a file for appending text, creating it when missing, but never through a symbolic
// link or other reparse point at that name (a file in a directory other users can write):
// nullptr then, as when it cannot be opened.
std::FILE* file_open_append_no_link(const char* path);

// The system's narrow text (the ANSI code page on Windows, UTF-8 on POSIX) as UTF-16, and
// back: false when it is not valid text there, or a character has no narrow form.
bool text_to_utf16(const std::string& text, std::u16string& out);
bool text_from_utf16(const std::u16string& text, std::string& out);

// Fills buf with len bytes from the system's cryptographic random source: 0, or -1.
int random_bytes(void* buf, std::size_t len);

// 64-bit seek and size on a stdio stream: 0 or -1; the size is -1 when unknown.
int file_seek64(std::FILE* f, uint64_t offset);
int64_t file_size(std::FILE* f);
// Writes the stream's buffer out and has the system put the file's data on its disk (fsync;
// FlushFileBuffers on Windows): 0 or -1.
int file_sync(std::FILE* f);
