#include "platform/socket.h"

#include <cerrno>
#include <chrono>

#ifdef _WIN32
#include <mswsock.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef _WIN32

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

int TimedReceiver::receive(socket_t s, char* buf, std::size_t len, std::int64_t timeoutUs) {
    int r = waitReadable(s, timeoutUs, &m_waker);
    if (r == WAIT_WOKEN)
        return RECV_WOKEN;
    if (r == WAIT_TIMED_OUT)
        return RECV_TIMEOUT;
    if (r == WAIT_ERROR)
        return -1;
    return recvDatagram(s, buf, len, nullptr);
}

void TimedReceiver::interrupt(socket_t) { m_waker.wake(); }

#else

int netStartup() { return 0; }
void netCleanup() {}
socket_t udpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }
void closeSocket(socket_t s) {
    if (s != INVALID_SOCK)
        ::close(s);
}
int lastSocketError() { return errno; }
bool setNonBlocking(socket_t s, bool on) {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
}

Waker::Waker() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_read = fds[0];
        m_write = fds[1];
    }
}
void Waker::wake() {
    m_woken.store(true);
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(m_write, &b, 1);
}
void Waker::clear() {
    m_woken.store(false);
    char buf[16];
    while (::read(m_read, buf, sizeof buf) > 0) {
    }
}

int waitReadable(socket_t s, std::int64_t timeoutUs, const Waker* waker) {
    pollfd fds[2] = {{s, POLLIN, 0}, {waker != nullptr ? waker->m_read : -1, POLLIN, 0}};
    nfds_t count = (waker != nullptr && waker->m_read >= 0) ? 2 : 1;
    // Round up so that a wait of 1 µs does not become a busy poll of 0 ms.
    int timeoutMs = timeoutUs < 0 ? -1 : static_cast<int>((timeoutUs + 999) / 1000);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    for (;;) {
        int n = ::poll(fds, count, timeoutMs);
        if (n < 0 && errno == EINTR) {
            if (timeoutUs >= 0) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            continue;
        }
        if (n < 0)
            return WAIT_ERROR;
        if (n == 0)
            return WAIT_TIMED_OUT;
        if (count == 2 && (fds[1].revents & POLLIN) != 0)
            return WAIT_WOKEN;
        return WAIT_READABLE;
    }
}

namespace {

// One recvmsg: the datagram's length, RECV_TRUNCATED, or -1 with errno as
// the call left it.
int receiveOne(socket_t s, char* buf, std::size_t len, int flags, sockaddr_in* from) {
    sockaddr_in src{};
    iovec iov{buf, len};
    msghdr msg{};
    msg.msg_name = &src;
    msg.msg_namelen = sizeof src;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = ::recvmsg(s, &msg, flags);
    if (n < 0)
        return -1;
    // POSIX cuts a long datagram silently; Windows reports it. Drop it alike.
    if ((msg.msg_flags & MSG_TRUNC) != 0)
        return RECV_TRUNCATED;
    if (from != nullptr)
        *from = src;
    return static_cast<int>(n);
}

}  // namespace

int recvDatagram(socket_t s, char* buf, std::size_t len, sockaddr_in* from) {
    return receiveOne(s, buf, len, MSG_DONTWAIT, from);
}

bool TimedReceiver::prepare(socket_t s) {
    m_timeoutSetUs = -2;
    return setNonBlocking(s, false);
}

int TimedReceiver::receive(socket_t s, char* buf, std::size_t len, std::int64_t timeoutUs) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::microseconds(timeoutUs);
    std::int64_t leftUs = timeoutUs;
    for (;;) {
        int flags = 0;
        if (leftUs == 0) {
            flags = MSG_DONTWAIT;
        } else if (leftUs != m_timeoutSetUs) {
            // A zero SO_RCVTIMEO means no limit, as a negative time-out does here.
            timeval tv{};
            if (leftUs > 0) {
                tv.tv_sec = static_cast<time_t>(leftUs / 1000000);
                tv.tv_usec = static_cast<suseconds_t>(leftUs % 1000000);
            }
            if (::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
                return -1;
            m_timeoutSetUs = leftUs;
        }
        int n = receiveOne(s, buf, len, flags, nullptr);
        if (m_waker.woken())
            return RECV_WOKEN;
        if (n != -1)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return RECV_TIMEOUT;
        if (errno != EINTR)
            return -1;
        if (timeoutUs >= 0) {
            leftUs = std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock::now())
                         .count();
            if (leftUs <= 0)
                return RECV_TIMEOUT;
        }
    }
}

// Shutting the read side wakes a receive blocked on the socket at once, even
// on an unconnected datagram socket (shutdown then reports ENOTCONN, which is
// of no concern here).
void TimedReceiver::interrupt(socket_t s) {
    m_waker.wake();
    if (s != INVALID_SOCK)
        ::shutdown(s, SHUT_RD);
}

#endif

int lastErrno() { return errno; }

#ifdef _WIN32
bool isPermissionError(int error) { return error == WSAEACCES; }
bool isAddressInUse(int error) { return error == WSAEADDRINUSE; }
#else
bool isPermissionError(int error) { return error == EACCES || error == EPERM; }
bool isAddressInUse(int error) { return error == EADDRINUSE; }
#endif

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
