#include "store/auth_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

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

int json_get_bool(const char* text, const char* key, bool& out) {
    if (text == nullptr) return 0;
    const std::string pattern = "\"" + std::string(key) + "\"";
    const char* p = std::strstr(text, pattern.c_str());
    if (p == nullptr) return 0;
    p += pattern.size();
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n' || *p == ':')
        ++p;
    for (const auto& [word, value] : {std::pair{"true", true}, std::pair{"false", false}}) {
        const std::size_t n = std::strlen(word);
        const bool quoted = *p == '"' && std::strncmp(p + 1, word, n) == 0 && p[n + 1] == '"';
        const bool bare =
            std::strncmp(p, word, n) == 0 && !std::isalnum(static_cast<unsigned char>(p[n]));
        if (quoted || bare) {
            out = value;
            return 0;
        }
    }
    return -1;
}
