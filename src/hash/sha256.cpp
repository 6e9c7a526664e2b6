#include "hash/sha256.h"

#include <cstring>

namespace qvn {
namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void store_be64(std::uint8_t* p, std::uint64_t v) {
    store_be32(p, static_cast<std::uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<std::uint32_t>(v));
}

void write_digest(std::uint8_t out[32], const std::uint32_t state[8]) {
    for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, state[i]);
}

}  // namespace

void sha256_compress(std::uint32_t state[8], const std::uint8_t block[64]) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        const std::uint32_t ch = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + s1 + ch + kRoundConstants[i] + w[i];
        const std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

void sha256(std::uint8_t out[32], const std::uint8_t* data, std::size_t len) {
    std::uint32_t state[8];
    std::memcpy(state, kSha256Init, sizeof state);

    const std::size_t whole = len / 64;
    for (std::size_t i = 0; i < whole; ++i) sha256_compress(state, data + 64 * i);

    // The tail, 0x80 and the bit length fill one final block, or two when
    // more than 55 bytes are left over.
    const std::size_t rest = len % 64;
    std::uint8_t tail[128] = {};
    if (rest > 0) std::memcpy(tail, data + 64 * whole, rest);
    tail[rest] = 0x80;
    const std::size_t tail_size = rest > 55 ? 128 : 64;
    store_be64(tail + tail_size - 8, static_cast<std::uint64_t>(len) * 8);
    sha256_compress(state, tail);
    if (tail_size == 128) sha256_compress(state, tail + 64);

    write_digest(out, state);
}

void sha256d(std::uint8_t out[32], const std::uint8_t* data, std::size_t len) {
    // The second hash is always one block: the 32-byte digest, 0x80, the length 256.
    std::uint8_t block[64] = {};
    sha256(block, data, len);
    block[32] = 0x80;
    block[62] = 0x01;
    std::uint32_t state[8];
    std::memcpy(state, kSha256Init, sizeof state);
    sha256_compress(state, block);
    write_digest(out, state);
}

void sha256d(std::uint8_t out[32], const std::vector<std::uint8_t>& bytes) {
    sha256d(out, bytes.data(), bytes.size());
}

}  // namespace qvn
