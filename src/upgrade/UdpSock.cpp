#include "upgrade/UdpSock.h"

#include "printfColor.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace {

constexpr int BIND_ATTEMPTS = 10;
constexpr int SOCKET_BUFFER_BYTES = 256000;
constexpr std::size_t IP_TEXT_SIZE = 128;

bool bindTo(platform::socket_t s, const sockaddr_in& addr) {
    return ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool setBuffer(platform::socket_t s, int option) {
    int size = SOCKET_BUFFER_BYTES;
    return ::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&size),
                        sizeof size) == 0;
}

}  // namespace

CUdpSocket::CUdpSocket(Owner owner, Deliver deliver)
    : m_owner(owner), m_deliver(std::move(deliver)) {}

CUdpSocket::~CUdpSocket() {
    endReceiver();
    joinParked();
    closeSocket();
}

bool CUdpSocket::startUdpServer(const sockaddr_in* local) {
    // A thread that ended itself in an earlier reset has left its handler by
    // now (its owner serialises the calls), so this join is short.
    joinParked();
    std::lock_guard<std::mutex> guard(m_lock);

    // A failed creation shows up as a failed bind below.
    if (m_socket.load() == platform::INVALID_SOCK)
        m_socket.store(platform::udpSocket());
    platform::socket_t s = m_socket.load();

    if (local == nullptr) {
        if (m_recvThread)
            return true;
        if (!startReceiver()) {
            LOG_LINE("create thread failed...\n");
            return false;
        }
        return true;
    }
    if (m_started)
        return true;

    sockaddr_in addr = *local;
    if (addr.sin_port != 0) {
        if (!bindTo(s, addr)) {
            int err = platform::lastSocketError();
            LOG_LINE("CTftpSocket_New::openSocket : udp bind failed!\n");
            if (platform::isPermissionError(err))
                LOG_LINE("binding UDP port %u needs privilege: run as root, grant "
                         "CAP_NET_BIND_SERVICE, or set net.ipv4.ip_unprivileged_port_start "
                         "to %u or below\n",
                         unsigned{ntohs(addr.sin_port)}, unsigned{ntohs(addr.sin_port)});
            return false;
        }
    } else {
        bool bound = false;
        for (int attempt = 0; attempt < BIND_ATTEMPTS && !bound; ++attempt) {
            addr.sin_port = 0;
            bound = bindTo(s, addr);
            std::string ip = platform::addrText(addr);
            if (bound)
                LOG_LINE("CTftpSocket_New::openSocket : udp bind sucessed!<%s, %d>,errCode:%d\n",
                         ip.c_str(), int{ntohs(addr.sin_port)}, platform::lastErrno());
            else
                LOG_LINE("CTftpSocket_New::openSocket : udp bind failed,info<%s, %d>,errCode:%d\n",
                         ip.c_str(), int{ntohs(addr.sin_port)}, platform::lastErrno());
        }
        if (!bound)
            return false;
    }

    if (!setBuffer(s, SO_RCVBUF)) {
        LOG_LINE("CTftpSocket_New::openSocket : udp RCVBUF setsockopt failed!\n");
        closeLocked();
        return false;
    }
    if (!setBuffer(s, SO_SNDBUF)) {
        LOG_LINE("CTftpSocket_New::openSocket : udp SNDBUF setsockopt failed!\n");
        closeLocked();
        return false;
    }
    if (!startReceiver()) {
        LOG_LINE("create thread failed...\n");
        closeLocked();
        return false;
    }
    m_started = true;
    return true;
}

void CUdpSocket::resetUdpStatus() {
    if (m_owner == Owner::Manager)
        LOG_LINE("reset udp status upgrade manager...\n");
    else
        LOG_LINE("reset udp status devapp...\n");
    endReceiver();
}

int CUdpSocket::sendMsg(const char* data, int length, const sockaddr_in* to) {
    if (to == nullptr || length < 0)
        return -1;
    platform::socket_t s = m_socket.load();
    auto size = static_cast<std::size_t>(length);
    int n = platform::sendDatagram(s, data, size, *to);
    if (n >= 0)
        return n;
    LOG_LINE("CTftpSocket_New::sendMsg failed[first]...,errCode[1]:%d,errCode[2]:%d\n",
             platform::lastSocketError(), platform::lastErrno());
    n = platform::sendDatagram(s, data, size, *to);
    if (n < 0)
        LOG_LINE("CTftpSocket_New::sendMsg failed[second]...,errCode[1]:%d,errCode[2]:%d\n",
                 platform::lastSocketError(), platform::lastErrno());
    return n;
}

bool CUdpSocket::closeSocket() {
    std::lock_guard<std::mutex> guard(m_lock);
    closeLocked();
    return true;
}

std::uint16_t CUdpSocket::localPort() const { return platform::boundPort(m_socket.load()); }

void CUdpSocket::closeLocked() { platform::closeSocket(m_socket.exchange(platform::INVALID_SOCK)); }

bool CUdpSocket::startReceiver() {
    auto r = std::make_unique<Receiver>();
    r->sock = m_socket.load();
    if (!r->receiver.valid() || !r->receiver.prepare(r->sock))
        return false;
    try {
        r->thread = std::thread(&CUdpSocket::recvLoop, this, r.get());
    } catch (const std::system_error&) {
        return false;
    }
    m_recvThread = std::move(r);
    return true;
}

void CUdpSocket::recvLoop(Receiver* r) {
    char buf[BLOCK_SIZE];
    char ipText[IP_TEXT_SIZE];
    while (!r->stop.load()) {
        std::memset(buf, 0, sizeof buf);
        sockaddr_in from{};
        // One blocking receive per datagram, no readiness wait before it:
        // endReceiver shuts the socket down under it. A datagram longer than
        // the buffer comes back as RECV_TRUNCATED and is dropped with the
        // empty ones.
        int n = r->receiver.receive(r->sock, buf, sizeof buf, -1, &from);
        if (r->stop.load())
            break;
        if (n == -1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (n >= 1) {
            std::memset(ipText, 0, sizeof ipText);
            std::snprintf(ipText, sizeof ipText, "%s", platform::addrText(from).c_str());
            std::uint16_t port = ntohs(from.sin_port);
            auto len = static_cast<std::uint32_t>(n);
            if (m_deliver)
                m_deliver(buf, len, ipText, port);
        }
        // A zero-length sleep, as the loop has always done between receives;
        // with std::thread it costs nothing, where a sched_yield would hand
        // the processor to any busy process between two blocks.
        std::this_thread::sleep_for(std::chrono::milliseconds(0));
    }
}

void CUdpSocket::endReceiver() {
    std::unique_ptr<Receiver> r;
    platform::socket_t s = platform::INVALID_SOCK;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_started = false;
        r = std::move(m_recvThread);
        if (r)
            r->stop.store(true);
        if (r && r->thread.get_id() == std::this_thread::get_id()) {
            // Called from this thread's own handler: it cannot join itself.
            // It leaves its loop as soon as the handler returns and touches
            // the socket no more, so the socket can go now.
            m_parked.push_back(std::move(r));
            closeLocked();
            return;
        }
        s = m_socket.exchange(platform::INVALID_SOCK);
    }
    if (r) {
        r->receiver.interrupt(r->sock);
        r->thread.join();
    }
    // Closed only after the join, so the thread never waits on a descriptor
    // number that may already belong to somebody else.
    platform::closeSocket(s);
}

void CUdpSocket::joinParked() {
    std::vector<std::unique_ptr<Receiver>> done;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_parked.begin(); it != m_parked.end();) {
            if ((*it)->thread.get_id() != std::this_thread::get_id()) {
                done.push_back(std::move(*it));
                it = m_parked.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& r : done)
        r->thread.join();
}
