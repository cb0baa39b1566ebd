// SHA-1 and HMAC-SHA-1, for the hashed host names of known_hosts (not for any signature).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using sha1_digest = std::array<uint8_t, 20>;

sha1_digest sha1(const uint8_t* data, std::size_t len);
sha1_digest hmac_sha1(const uint8_t* key, std::size_t key_len, const uint8_t* data,
                      std::size_t len);
