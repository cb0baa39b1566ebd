#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <ntsecapi.h>

#include "platform/sys.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <array>
#include <utility>

uint64_t tick_ms() {
    return GetTickCount64();
}

void sleep_ms(uint32_t ms) {
    Sleep(ms);
}

bool env_get(const char* name, std::string& value) {
    std::string buf(256, '\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS); // 0 is both "not set" and "set to an empty text"
        DWORD n = GetEnvironmentVariableA(name, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        if (n < buf.size()) {
            buf.resize(n);
            value = std::move(buf);
            return true;
        }
        buf.resize(n); // too small: n is the size needed, terminator included
    }
}

std::string temp_dir() {
    std::array<char, MAX_PATH + 1> buf{};
    DWORD n = GetTempPathA(static_cast<DWORD>(buf.size()), buf.data());
    // C:\Windows\Temp in its place would put elevated scripts where other users can write.
    if (n == 0 || n >= buf.size()) return {};
    std::string dir(buf.data(), n);
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    return dir;
}

int file_seek64(std::FILE* f, uint64_t offset) {
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0 ? 0 : -1;
}

int64_t file_size(std::FILE* f) {
    if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
    return static_cast<int64_t>(_ftelli64(f));
}

char dir_separator() {
    return '\\';
}

std::FILE* file_create_private(const char* path, file_mode mode) {
    // The user's own temporary directory already keeps other users out; _O_EXCL keeps a
    // file planted under the name from being reused (msvcrt's fopen ignores the "x" mode).
    const bool text = mode == file_mode::text;
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | (text ? _O_TEXT : _O_BINARY),
                   _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* f = _fdopen(fd, text ? "w" : "wb");
    if (f == nullptr) _close(fd);
    return f;
}

std::FILE* file_open_append_no_link(const char* path) {
    // The reparse point itself is opened, not what it points to, and then refused.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_TEXT);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "a");
    if (f == nullptr) _close(fd);
    return f;
}

bool text_to_utf16(const std::string& text, std::u16string& out) {
    out.clear();
    if (text.empty()) return true;
    const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return false;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                            static_cast<int>(text.size()), wide.data(), n) != n)
        return false;
    out.assign(wide.begin(), wide.end());
    return true;
}

bool text_from_utf16(const std::u16string& text, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    const std::wstring wide(text.begin(), text.end());
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                      static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy) return false;
    out.assign(static_cast<std::size_t>(n), '\0');
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                               static_cast<int>(wide.size()), out.data(), n, nullptr,
                               &lossy) == n &&
           !lossy;
}

int random_bytes(void* buf, std::size_t len) {
    auto* p = static_cast<unsigned char*>(buf);
    while (len > 0) {
        const ULONG n = len > 0x10000 ? 0x10000 : static_cast<ULONG>(len);
        if (!RtlGenRandom(p, n)) return -1;
        p += n;
        len -= n;
    }
    return 0;
}

int file_sync(std::FILE* f) {
    if (std::fflush(f) != 0) return -1;
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h == INVALID_HANDLE_VALUE) return -1;
    return FlushFileBuffers(h) ? 0 : -1;
}
