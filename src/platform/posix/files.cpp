#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

std::FILE* file_create_new(const char* path, bool /*text: no translation on POSIX*/) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "w");
    if (f == nullptr) close(fd);
    return f;
}
