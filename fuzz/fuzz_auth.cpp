// The auth-text scanner: any text, every member the connect reads, small and large outputs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "store/auth_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size); // stops at a NUL
    for (const char* key :
         {"password", "key_path", "pubkey_path", "passphrase", "host_key_sha256", "known_hosts"}) {
        char small[4];
        char large[256];
        json_get_string(text.c_str(), key, small, sizeof small);
        json_get_string(text.c_str(), key, large, sizeof large);
    }
    for (const char* key : {"known_hosts_add", "known_hosts_hash", "agent"}) {
        bool value = false;
        json_get_bool(text.c_str(), key, value);
    }
    return 0;
}
