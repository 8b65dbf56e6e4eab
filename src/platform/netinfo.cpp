#include "platform/netinfo.h"

#include "platform/socket.h"

namespace platform {

namespace {

// One datagram socket, closed on every way out.
class Probe {
public:
    Probe() : m_sock(udpSocket()) {}
    ~Probe() {
        if (m_sock != INVALID_SOCK)
            closeSocket(m_sock);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    socket_t get() const { return m_sock; }

private:
    socket_t m_sock;
};

}  // namespace

bool isLocalAddress(const std::string& ip) {
    if (!isIpv4Text(ip.c_str()) || ip == "0.0.0.0")
        return false;
    Probe probe;
    sockaddr_in local = makeAddr(ip.c_str(), 0);
    return probe.get() != INVALID_SOCK &&
           ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool routeSource(const std::string& ip, std::string& out) {
    if (!isIpv4Text(ip.c_str()))
        return false;
    Probe probe;
    // Connecting a datagram socket sends nothing; it only picks the route.
    sockaddr_in peer = makeAddr(ip.c_str(), 9);
    if (probe.get() == INVALID_SOCK ||
        ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0)
        return false;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return false;
    out = addrText(local);
    return out != "0.0.0.0";
}

PortCheck udpPortFree(std::uint16_t port) {
    Probe probe;
    if (probe.get() == INVALID_SOCK)
        return PortCheck::Failed;
    sockaddr_in any = makeAddr("0.0.0.0", port);
    if (::bind(probe.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0)
        return PortCheck::Free;
    int error = lastSocketError();
    if (isAddressInUse(error))
        return PortCheck::InUse;
    return isPermissionError(error) ? PortCheck::NoPermission : PortCheck::Failed;
}

}  // namespace platform
