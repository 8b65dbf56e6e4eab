// SHA-256 of the images a simulated camera receives, so it can tell a
// damaged transfer from a good one without pulling in a crypto library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace camsim {

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t len);
    // Lower-case hex digest; the object is spent afterwards.
    std::string hexDigest();

    static std::string of(const void* data, std::size_t len);

private:
    void block(const std::uint8_t* p);
    std::uint32_t m_h[8];
    std::uint8_t m_buf[64];
    std::size_t m_bufLen = 0;
    std::uint64_t m_total = 0;
};

}  // namespace camsim
