#include "platform/files.h"

#include "platform/sys.h"

// Text and binary are the same on POSIX.
std::FILE* file_create_private_text(const char* path) {
    return file_create_private(path);
}
