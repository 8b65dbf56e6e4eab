// Reads from a camera through the library's control-protocol client without
// taking control: a camera answers them whoever holds it. Never writes.
#pragma once

#include "upgrade/GigEProtocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace gvcp {

class Peek {
public:
    explicit Peek(const std::string& ip);
    // Each attempt waits `timeoutMs` for its acknowledge.
    Peek(const std::string& ip, unsigned timeoutMs);
    ~Peek();
    Peek(const Peek&) = delete;
    Peek& operator=(const Peek&) = delete;

    // True with the value in host order. *answered tells a camera that said
    // no from one that said nothing.
    bool read(std::uint32_t address, std::uint32_t* value, bool* answered);
    // `size` bytes from `address` (at most GVCP_MAX_MEM), the same way.
    bool readMemory(std::uint32_t address, std::size_t size, std::vector<std::uint8_t>* out,
                    bool* answered);
    // The status of the last acknowledge (GEV_STATUS_TIMEOUT when none came).
    std::uint16_t lastStatus() const { return m_status; }

private:
    CGigEProtocol m_protocol;
    std::uint16_t m_status = 0;
};

// The camera's hardware kind (0 when the register cannot be read, as the
// session takes it); *answered is false when the camera said nothing at all.
int readKind(const std::string& cameraIp, bool* answered);

}  // namespace gvcp
