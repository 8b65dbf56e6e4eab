// UDP sockets over Winsock 2 or BSD sockets, with a receive wait that a
// stop request can cut short.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace platform {

#ifdef _WIN32
using socket_t = SOCKET;
const socket_t INVALID_SOCK = INVALID_SOCKET;
#else
using socket_t = int;
const socket_t INVALID_SOCK = -1;
#endif

// WSAStartup(2.2) on Windows: its result (0 = success). Nothing elsewhere.
int netStartup();
// WSACleanup on Windows; nothing elsewhere.
void netCleanup();

// New IPv4 datagram socket, or INVALID_SOCK.
socket_t udpSocket();
void closeSocket(socket_t s);
// WSAGetLastError on Windows, errno elsewhere.
int lastSocketError();
// The runtime library's errno.
int lastErrno();

bool setNonBlocking(socket_t s, bool on);

// Classes of lastSocketError() values callers explain to users.
bool isPermissionError(int error);
bool isAddressInUse(int error);

// IPv4 socket address from dotted text (inet_addr semantics: no check) and a
// host-order port.
sockaddr_in makeAddr(const char* ip, std::uint16_t port);
// True for a dotted-decimal IPv4 address such as "192.168.1.10".
bool isIpv4Text(const char* text);
// Dotted text of an address in network order.
std::string addrText(const sockaddr_in& addr);

// Wakes a thread that waits in waitReadable. One per waiting owner; wake()
// stays in effect until clear().
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    void wake();
    void clear();
    bool valid() const;
    // Whether wake() was called since the last clear().
    bool woken() const { return m_woken.load(); }

private:
    friend int waitReadable(socket_t, std::int64_t, const Waker*);
    socket_t m_read = INVALID_SOCK;
    socket_t m_write = INVALID_SOCK;
    std::atomic<bool> m_woken{false};
};

// Result of waitReadable.
enum WaitResult : int { WAIT_ERROR = -1, WAIT_TIMED_OUT = 0, WAIT_READABLE = 1, WAIT_WOKEN = 2 };

// Waits until the socket is readable, the waker is woken, or timeoutUs has
// passed (a negative time-out waits without limit). With INVALID_SOCK it
// waits for the waker alone.
int waitReadable(socket_t s, std::int64_t timeoutUs, const Waker* waker = nullptr);

// Receives one datagram. Returns its length, RECV_TRUNCATED when it did not
// fit into len bytes (it is then dropped), or -1 on error.
constexpr int RECV_TRUNCATED = -2;
int recvDatagram(socket_t s, char* buf, std::size_t len, sockaddr_in* from);

// The waiting receive of a socket that one thread at a time reads. Where the
// system allows it the wait is a blocking receive with a time-out on the
// socket itself: it wakes faster than a readiness wait followed by a receive.
constexpr int RECV_TIMEOUT = -3;
constexpr int RECV_WOKEN = -4;
class TimedReceiver {
public:
    TimedReceiver() = default;
    TimedReceiver(const TimedReceiver&) = delete;
    TimedReceiver& operator=(const TimedReceiver&) = delete;

    bool valid() const { return m_waker.valid(); }
    // Puts the socket into the mode receive() needs.
    bool prepare(socket_t s);
    // Waits up to timeoutUs (negative: without limit) for one datagram: its
    // length, RECV_TRUNCATED, RECV_TIMEOUT, RECV_WOKEN or -1. *from, when
    // given, gets the sender of a datagram that was returned.
    int receive(socket_t s, char* buf, std::size_t len, std::int64_t timeoutUs,
                sockaddr_in* from = nullptr);
    // Ends the wait in progress and every later one at once. For shutting the
    // socket down: it is not undone.
    void interrupt(socket_t s);

private:
    Waker m_waker;
    std::int64_t m_timeoutSetUs = -2;  // the socket's receive time-out, as last set
};

// sendto with a 16-byte IPv4 address; bytes sent or -1.
int sendDatagram(socket_t s, const void* data, std::size_t len, const sockaddr_in& to);

// The local port a socket is bound to, in host order; 0 when unbound.
std::uint16_t boundPort(socket_t s);

}  // namespace platform
