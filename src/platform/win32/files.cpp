#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

// msvcrt's fopen ignores the "x" mode letter, hence _O_EXCL and a stream over the descriptor.
std::FILE* file_create_private_text(const char* path) {
    const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* f = _fdopen(fd, "w");
    if (f == nullptr) _close(fd);
    return f;
}
