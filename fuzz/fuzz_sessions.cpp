// The session listing of "iscsicli SessionList": any text, an identifier buffer of every
// size that matters. Whatever the text, the result is one of three values and the identifier
// is either empty or one whole token that fits its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "attach/parse.h"
#include "quiet_log.h"

namespace {

int scan(const uint8_t* data, size_t size, char* id, size_t cap) {
    std::FILE* f = input_stream(data, size);
    if (f == nullptr) std::abort();
    int present = scan_session_listing(f, id, cap);
    std::fclose(f);
    return present;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_mount_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char large[128];
    char small[8];
    int present = scan(data, size, large, sizeof large);
    if (present < -1 || present > 1) std::abort();
    if (present != 1 && large[0] != 0) std::abort();
    if (std::strlen(large) >= sizeof large || std::strcspn(large, " \t\r\n") != std::strlen(large))
        std::abort();
    // A smaller buffer gets the same identifier or none: never a cut one.
    if (scan(data, size, small, sizeof small) != present) std::abort();
    if (small[0] != 0 && std::strcmp(small, large) != 0) std::abort();
    if (scan(data, size, nullptr, 0) != present) std::abort();
    return 0;
}
