#include "platform/netinfo.h"
#include "platform/socket.h"

#include <mswsock.h>

namespace platform {

int netStartup() {
    WSADATA data;
    return WSAStartup(0x0202, &data);
}
void netCleanup() { WSACleanup(); }
socket_t udpSocket() {
    socket_t s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s != INVALID_SOCK) {
        // Windows turns an ICMP "port unreachable" for an earlier send into a
        // WSAECONNRESET of the next receive; a camera that restarts would then
        // look like a broken socket. POSIX keeps such errors off unconnected
        // sockets, and so do we.
        BOOL report = FALSE;
        DWORD unused = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr,
                 nullptr);
    }
    return s;
}
void closeSocket(socket_t s) {
    if (s != INVALID_SOCK)
        ::closesocket(s);
}
int lastSocketError() { return WSAGetLastError(); }
bool setNonBlocking(socket_t s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

// Windows select() takes sockets only: the waker is a loopback UDP socket
// that receives a byte from its own sending socket.
Waker::Waker() {
    m_read = udpSocket();
    m_write = udpSocket();
    sockaddr_in addr = makeAddr("127.0.0.1", 0);
    int len = sizeof addr;
    if (::bind(m_read, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(m_read, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::connect(m_write, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closeSocket(m_read);
        closeSocket(m_write);
        m_read = m_write = INVALID_SOCK;
        return;
    }
    setNonBlocking(m_read, true);
}
void Waker::wake() {
    m_woken.store(true);
    char b = 1;
    ::send(m_write, &b, 1, 0);
}
void Waker::clear() {
    m_woken.store(false);
    char buf[16];
    while (::recv(m_read, buf, sizeof buf, 0) > 0) {
    }
}

int waitReadable(socket_t s, std::int64_t timeoutUs, const Waker* waker) {
    fd_set set;
    FD_ZERO(&set);
    if (s != INVALID_SOCK)
        FD_SET(s, &set);
    if (waker != nullptr && waker->m_read != INVALID_SOCK)
        FD_SET(waker->m_read, &set);
    timeval tv{};
    tv.tv_sec = static_cast<long>(timeoutUs / 1000000);
    tv.tv_usec = static_cast<long>(timeoutUs % 1000000);
    int n = ::select(0, &set, nullptr, nullptr, timeoutUs < 0 ? nullptr : &tv);
    if (n < 0)
        return WAIT_ERROR;
    if (n == 0)
        return WAIT_TIMED_OUT;
    if (waker != nullptr && waker->m_read != INVALID_SOCK && FD_ISSET(waker->m_read, &set))
        return WAIT_WOKEN;
    return WAIT_READABLE;
}

int recvDatagram(socket_t s, char* buf, std::size_t len, sockaddr_in* from) {
    // Never blocks, whatever the socket's mode (MSG_DONTWAIT on POSIX).
    if (waitReadable(s, 0) != WAIT_READABLE)
        return -1;
    sockaddr_in src{};
    int srcLen = sizeof src;
    int n = ::recvfrom(s, buf, static_cast<int>(len), 0, reinterpret_cast<sockaddr*>(&src), &srcLen);
    if (n < 0)
        return WSAGetLastError() == WSAEMSGSIZE ? RECV_TRUNCATED : -1;
    if (from != nullptr)
        *from = src;
    return n;
}

bool TimedReceiver::prepare(socket_t s) { return setNonBlocking(s, true); }

int TimedReceiver::receive(socket_t s, char* buf, std::size_t len, std::int64_t timeoutUs,
                           sockaddr_in* from) {
    int r = waitReadable(s, timeoutUs, &m_waker);
    if (r == WAIT_WOKEN)
        return RECV_WOKEN;
    if (r == WAIT_TIMED_OUT)
        return RECV_TIMEOUT;
    if (r == WAIT_ERROR)
        return -1;
    return recvDatagram(s, buf, len, from);
}

void TimedReceiver::interrupt(socket_t) { m_waker.wake(); }

bool isPermissionError(int error) { return error == WSAEACCES; }
bool isAddressInUse(int error) { return error == WSAEADDRINUSE; }

bool upInterfaces(const std::string& name, std::vector<Ipv4Interface>& out, std::string* error) {
    if (!name.empty() && !isIpv4Text(name.c_str())) {
        if (error != nullptr)
            *error = "on Windows give the interface's IPv4 address, not '" + name + "'";
        return false;
    }
    Ipv4Interface found;
    found.address = makeAddr(name.empty() ? "0.0.0.0" : name.c_str(), 0);
    out.push_back(found);
    return true;
}

}  // namespace platform
