// SHA-256, for the digest of a firmware package that the plan shows and
// that --sha256 compares against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace engine {

class Sha256 {
public:
    Sha256();
    void add(const void* data, std::size_t size);
    // The digest as 64 lower-case hexadecimal digits; ends the use.
    std::string hex();

private:
    void block(const std::uint8_t* p);

    std::uint32_t m_h[8];
    std::uint8_t m_buf[64];
    std::size_t m_used = 0;
    std::uint64_t m_bits = 0;
};

// The digest of a whole file; false when it cannot be read.
bool sha256OfFile(const std::string& path, std::string* hex);

}  // namespace engine
