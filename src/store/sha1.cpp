#include "store/sha1.h"

#include <cstring>
#include <vector>

namespace {

uint32_t rotl(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

void sha1_block(uint32_t h[5], const uint8_t* p) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(p[4 * i]) << 24 | static_cast<uint32_t>(p[4 * i + 1]) << 16 |
               static_cast<uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f = 0;
        uint32_t k = 0;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

} // namespace

sha1_digest sha1(const uint8_t* data, std::size_t len) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::vector<uint8_t> msg(data, data + len);
    msg.push_back(0x80);
    while (msg.size() % 64 != 56)
        msg.push_back(0);
    const uint64_t bits = static_cast<uint64_t>(len) * 8;
    for (int i = 7; i >= 0; --i)
        msg.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    for (std::size_t off = 0; off < msg.size(); off += 64)
        sha1_block(h, msg.data() + off);
    sha1_digest out{};
    for (int i = 0; i < 20; ++i)
        out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

sha1_digest hmac_sha1(const uint8_t* key, std::size_t key_len, const uint8_t* data,
                      std::size_t len) {
    uint8_t block[64] = {};
    if (key_len > sizeof block) {
        const sha1_digest k = sha1(key, key_len);
        std::memcpy(block, k.data(), k.size());
    } else {
        std::memcpy(block, key, key_len);
    }
    std::vector<uint8_t> inner(64 + len);
    std::vector<uint8_t> outer(64 + 20);
    for (int i = 0; i < 64; ++i) {
        inner[i] = block[i] ^ 0x36;
        outer[i] = block[i] ^ 0x5c;
    }
    std::memcpy(inner.data() + 64, data, len);
    const sha1_digest in = sha1(inner.data(), inner.size());
    std::memcpy(outer.data() + 64, in.data(), in.size());
    return sha1(outer.data(), outer.size());
}
