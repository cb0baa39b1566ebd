#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// msvcrt's fopen ignores the "x" mode letter, hence CREATE_NEW and a stream over the handle.
std::FILE* file_create_new(const char* path, bool text) {
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | (text ? _O_TEXT : _O_BINARY));
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, text ? "w" : "wb");
    if (f == nullptr) _close(fd); // closes the handle too
    return f;
}
