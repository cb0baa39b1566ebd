// Files under fixed names in a directory other users may share (the temporary directory):
// created only when no file of that name exists, so that a file or link planted there in
// advance is never written through, and readable by the owner alone where the system allows.
#pragma once

#include <cstdio>

// A new file opened for writing (text: line feeds written as the platform's line end), or
// nullptr when a file of that name already exists or the file cannot be created.
std::FILE* file_create_new(const char* path, bool text);
