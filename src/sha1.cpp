#include "sha1.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

namespace varnel {

namespace {

using State = std::array<std::uint32_t, 5>;
constexpr std::size_t block_octets = 64;

std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

void compress(State& h, const std::uint8_t* block) noexcept {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    auto [a, b, c, d, e] = h;
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
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
        std::uint32_t t = std::rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

}  // namespace

Sha1Digest sha1(std::span<const std::uint8_t> data) noexcept {
    State h = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const std::size_t whole = data.size() / block_octets;
    for (std::size_t i = 0; i < whole; ++i) compress(h, data.data() + i * block_octets);

    // The rest, the 0x80 marker and the length in bits fill one or two blocks.
    std::uint8_t tail[2 * block_octets] = {};
    const std::size_t rest = data.size() % block_octets;
    if (rest > 0) std::memcpy(tail, data.data() + whole * block_octets, rest);
    tail[rest] = 0x80;
    const std::size_t tail_octets = rest + 1 + 8 <= block_octets ? block_octets : 2 * block_octets;
    const std::uint64_t bits = std::uint64_t(data.size()) * 8;
    for (std::size_t i = 0; i < 8; ++i) tail[tail_octets - 1 - i] = std::uint8_t(bits >> (8 * i));
    for (std::size_t at = 0; at < tail_octets; at += block_octets) compress(h, tail + at);

    Sha1Digest out;
    for (std::size_t i = 0; i < h.size(); ++i)
        for (std::size_t j = 0; j < 4; ++j) out[4 * i + j] = std::uint8_t(h[i] >> (24 - 8 * j));
    return out;
}

}  // namespace varnel
