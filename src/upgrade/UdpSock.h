// CUdpSocket: a UDP endpoint of the file service with its own receive thread
// that hands every datagram of 1..512 bytes to its owner.
#pragma once

#include "platform/socket.h"

#include <atomic>
#include <cstdint>
#include <thread>

class DevApp;
class updgradeManager;

class CUdpSocket {
public:
    explicit CUdpSocket(DevApp* owner);
    explicit CUdpSocket(updgradeManager* owner);
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
    // Filled in with the implementation.
};
