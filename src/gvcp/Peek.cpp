#include "gvcp/Peek.h"

#include "ManagerGigeProto.h"
#include "gvcp/Registers.h"

#include <algorithm>

namespace gvcp {

Peek::Peek(const std::string& ip) : m_protocol(platform::udpSocket()) {
    m_protocol.setAddress(ip.c_str(), managerGige::GVCP_PORT);
}

Peek::Peek(const std::string& ip, unsigned timeoutMs) : Peek(ip) {
    m_protocol.setRecvTimeoutUs(std::uint64_t{timeoutMs} * 1000u);
}

Peek::~Peek() { platform::closeSocket(m_protocol.releaseSocket()); }

bool Peek::read(std::uint32_t address, std::uint32_t* value, bool* answered) {
    ReadRegRequest request{};
    ReadRegAck ack{};
    request.count = 1;
    request.address[0] = address;
    request.header.flags = GVCP_FLAG_ACK_REQUIRED;
    bool ok = m_protocol.readReg(request, ack);
    m_status = ack.header.status;
    *answered = ok || ack.header.status != GEV_STATUS_TIMEOUT;
    if (ok)
        *value = ntohl(ack.value[0]);
    return ok;
}

bool Peek::readMemory(std::uint32_t address, std::size_t size, std::vector<std::uint8_t>* out,
                      bool* answered) {
    ReadMemRequest request{};
    ReadMemAck ack{};
    request.header.flags = GVCP_FLAG_ACK_REQUIRED;
    request.address = address;
    request.count = static_cast<std::uint16_t>(size < GVCP_MAX_MEM ? size : GVCP_MAX_MEM);
    bool ok = m_protocol.readMem(request, ack);
    m_status = ack.header.status;
    *answered = ok || ack.header.status != GEV_STATUS_TIMEOUT;
    std::size_t got = ack.header.length >= 4 ? ack.header.length - 4u : 0;
    if (ok)
        out->assign(ack.data, ack.data + std::min<std::size_t>(got, request.count));
    return ok;
}

int readKind(const std::string& cameraIp, bool* answered) {
    Peek peek(cameraIp);
    std::uint32_t value = 0;
    if (!peek.read(reg::KIND, &value, answered))
        return 0;
    return reg::kindOf(value);
}

}  // namespace gvcp
