#include "platform/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform {

namespace {

const std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256()
    : m_h{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
          0x5be0cd19} {}

void Sha256::block(const std::uint8_t* p) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t{p[4 * i]} << 24 | std::uint32_t{p[4 * i + 1]} << 16 |
               std::uint32_t{p[4 * i + 2]} << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t v[8];
    std::memcpy(v, m_h, sizeof v);
    for (int i = 0; i < 64; ++i) {
        std::uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
        std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
        std::uint32_t t1 = v[7] + s1 + ch + kRound[i] + w[i];
        std::uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
        std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
        std::memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += t1;
        v[0] = t1 + s0 + maj;
    }
    for (int i = 0; i < 8; ++i)
        m_h[i] += v[i];
}

void Sha256::add(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    m_bytes += size;
    while (size > 0) {
        std::size_t n = std::min(size, sizeof m_buffer - m_used);
        std::memcpy(m_buffer + m_used, p, n);
        m_used += n;
        p += n;
        size -= n;
        if (m_used == sizeof m_buffer) {
            block(m_buffer);
            m_used = 0;
        }
    }
}

std::string Sha256::hex() {
    std::uint64_t bits = m_bytes * 8;
    std::uint8_t pad[72] = {0x80};
    std::size_t padLength = (m_used < 56 ? 56 : 120) - m_used;
    for (int i = 0; i < 8; ++i)
        pad[padLength + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    add(pad, padLength + 8);
    std::string out;
    char two[3];
    for (std::uint32_t word : m_h)
        for (int shift = 24; shift >= 0; shift -= 8) {
            std::snprintf(two, sizeof two, "%02x", (word >> shift) & 0xFF);
            out += two;
        }
    return out;
}

std::string sha256Hex(const std::string& bytes) {
    Sha256 sum;
    sum.add(bytes.data(), bytes.size());
    return sum.hex();
}

std::string sha256File(const std::string& path, std::uint64_t* size) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return std::string();
    Sha256 sum;
    std::uint64_t total = 0;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        sum.add(buf, n);
        total += n;
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed)
        return std::string();
    if (size != nullptr)
        *size = total;
    return sum.hex();
}

}  // namespace platform
