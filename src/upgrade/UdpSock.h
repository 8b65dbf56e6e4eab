// CUdpSocket: a UDP endpoint of the file service with its own receive thread
// that hands every datagram of 1..512 bytes to its owner.
#pragma once

#include "platform/socket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CUdpSocket {
public:
    // Who reads the datagrams: the port-69 service or one session's transfer.
    enum class Owner { Manager, Session };
    // Receives each datagram on the receive thread.
    using Deliver = std::function<void(const char* data, std::uint32_t length, const char* fromIp,
                                       std::uint16_t fromPort)>;
    CUdpSocket(Owner owner, Deliver deliver);
    ~CUdpSocket();
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // Binds to local (port 0: any free port, up to 10 tries) and starts the
    // receive thread. A null local only starts the thread.
    bool startUdpServer(const sockaddr_in* local);
    // Back to unbound: the receive thread ends and the socket is closed. May
    // run on the receive thread itself (from the owner's handler).
    void resetUdpStatus();
    int sendMsg(const char* data, int length, const sockaddr_in* to);
    bool closeSocket();

    // The bound local port in host order (0 when unbound); for tests and logs.
    std::uint16_t localPort() const;

    static constexpr int BLOCK_SIZE = 512;

private:
    // One receive thread with what it alone waits on. It lives on the heap so
    // that a thread that reset its own socket can finish its handler while the
    // object already has a new socket and thread.
    struct Receiver {
        std::thread thread;
        platform::TimedReceiver receiver;
        std::atomic<bool> stop{false};
        platform::socket_t sock = platform::INVALID_SOCK;
    };

    bool startReceiver();
    void recvLoop(Receiver* r);
    // Ends the current receive thread and closes the socket; a thread that
    // ends itself is parked for the next start or the destructor to join.
    void endReceiver();
    void joinParked();
    void closeLocked();

    std::atomic<platform::socket_t> m_socket{platform::INVALID_SOCK};
    std::unique_ptr<Receiver> m_recvThread;
    Owner m_owner;
    Deliver m_deliver;
    bool m_started = false;

    std::mutex m_lock;  // m_recvThread, m_parked, m_started and socket replacement
    std::vector<std::unique_ptr<Receiver>> m_parked;
};
