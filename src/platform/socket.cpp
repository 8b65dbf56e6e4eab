#include "platform/socket.h"

#include <cerrno>

namespace platform {

int lastErrno() { return errno; }

Waker::~Waker() {
    closeSocket(m_read);
    closeSocket(m_write);
}

bool Waker::valid() const { return m_read != INVALID_SOCK && m_write != INVALID_SOCK; }

sockaddr_in makeAddr(const char* ip, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = inet_addr(ip != nullptr ? ip : "");
    return addr;
}

bool isIpv4Text(const char* text) {
    in_addr addr{};
    return text != nullptr && inet_pton(AF_INET, text, &addr) == 1;
}

std::string addrText(const sockaddr_in& addr) {
    char text[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
}

std::uint16_t boundPort(socket_t s) {
    if (s == INVALID_SOCK)
        return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

int sendDatagram(socket_t s, const void* data, std::size_t len, const sockaddr_in& to) {
    auto n = ::sendto(s, static_cast<const char*>(data), static_cast<int>(len), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n < 0 ? -1 : static_cast<int>(n);
}

}  // namespace platform
