// The text-mode companion of file_create_private (platform/sys.h), for scripts that the
// system's own tools read line by line.
#pragma once

#include <cstdio>

// A new file for writing in text mode (line feeds written as the platform's line end),
// readable and writable by this user only; nullptr when a file of that name exists or the
// file cannot be created. The caller deletes a stale one first.
std::FILE* file_create_private_text(const char* path);
