#include "platform/netinfo.h"
#include "platform/socket.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include <ifaddrs.h>
#include <net/if.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform {

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

int TimedReceiver::receive(socket_t s, char* buf, std::size_t len, std::int64_t timeoutUs,
                           sockaddr_in* from) {
    using clock = std::chrono::steady_clock;
    // Without a limit the clock is not read at all: a receive per block.
    const auto deadline =
        timeoutUs > 0 ? clock::now() + std::chrono::microseconds(timeoutUs) : clock::time_point();
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
        int n = receiveOne(s, buf, len, flags, from);
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

bool isPermissionError(int error) { return error == EACCES || error == EPERM; }
bool isAddressInUse(int error) { return error == EADDRINUSE; }

bool upInterfaces(const std::string& name, std::vector<Ipv4Interface>& out, std::string* error) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        if (error != nullptr)
            *error = "cannot list the network interfaces: " + std::string(std::strerror(errno));
        return false;
    }
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> guard(list, ::freeifaddrs);
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0)
            continue;
        if (!name.empty() && name != i->ifa_name)
            continue;
        Ipv4Interface found;
        std::memcpy(&found.address, i->ifa_addr, sizeof found.address);
        found.address.sin_port = 0;
        if ((i->ifa_flags & IFF_BROADCAST) != 0 && i->ifa_broadaddr != nullptr) {
            found.hasBroadcast = true;
            std::memcpy(&found.broadcast, i->ifa_broadaddr, sizeof found.broadcast);
            found.broadcast.sin_port = 0;
        }
        out.push_back(found);
    }
    return true;
}

}  // namespace platform
