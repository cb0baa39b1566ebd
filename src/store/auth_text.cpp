#include "store/auth_text.h"

#include <cstdio>
#include <cstring>

void json_get_string(const char* text, const char* key, char* out, std::size_t size) {
    if (text == nullptr || out == nullptr || size == 0) return;
    out[0] = 0;
    char pattern[128];
    std::snprintf(pattern, sizeof pattern, "\"%s\"", key);
    const char* p = std::strstr(text, pattern);
    if (p == nullptr) return;
    p += std::strlen(pattern);
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == ':')
        ++p;
    if (*p != '"') return;
    ++p;
    std::size_t n = 0;
    while (*p != 0 && *p != '"' && n + 1 < size) {
        char c = *p++;
        if (c == '\\' && *p != 0) {
            const char e = *p++;
            c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
        }
        out[n++] = c;
    }
    out[n] = 0;
}
