// SHA-256 of a byte stream or a file, as the lowercase hex text that
// sha256sum prints: the digest recorded with every upgrade names the exact
// package a camera got.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class Sha256 {
public:
    Sha256();
    void add(const void* data, std::size_t size);
    // The digest in hex; the object is spent afterwards.
    std::string hex();

private:
    void block(const std::uint8_t* p);

    std::uint32_t m_h[8];
    std::uint8_t m_buffer[64];
    std::size_t m_used = 0;
    std::uint64_t m_bytes = 0;
};

std::string sha256Hex(const std::string& bytes);
// Empty when the file cannot be read; *size gets its length.
std::string sha256File(const std::string& path, std::uint64_t* size = nullptr);

}  // namespace platform
