// CGigEProtocol: the GVCP client for one camera. Builds command packets,
// sends them to the camera's control port, waits for the acknowledge with the
// same request id, retries while nothing comes and honours pending
// acknowledges. One transaction at a time per object.
#pragma once

#include "platform/socket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

// GVCP command and acknowledge codes.
enum : std::uint16_t {
    READREG_CMD = 0x0080,
    READREG_ACK = 0x0081,
    WRITEREG_CMD = 0x0082,
    WRITEREG_ACK = 0x0083,
    READMEM_CMD = 0x0084,
    READMEM_ACK = 0x0085,
    WRITEMEM_CMD = 0x0086,
    WRITEMEM_ACK = 0x0087,
    PENDING_ACK = 0x0089,
};

// Not a device status: written by a transaction that received nothing at all.
constexpr std::uint16_t GEV_STATUS_TIMEOUT = 0x9000;

constexpr std::uint8_t GVCP_KEY = 0x42;
constexpr std::uint8_t GVCP_FLAG_ACK_REQUIRED = 0x01;
constexpr std::size_t GVCP_HEADER_SIZE = 8;
// Registers per read/write-registers transaction, data bytes per memory one.
constexpr std::size_t GVCP_MAX_REGS = 136;
constexpr std::size_t GVCP_MAX_MEM = 536;

// The structures hold packets field by field in host order; the codec turns
// them into wire bytes and back. Register values are the exception: they are
// carried as the four bytes that travel on the wire (network order), which is
// the order the callers hand them in and expect them back.
struct GvcpCmdHeader {
    std::uint8_t key;
    std::uint8_t flags;
    std::uint16_t command;
    std::uint16_t length;
    std::uint16_t req_id;
};

struct GvcpAckHeader {
    std::uint16_t status;
    std::uint16_t acknowledge;
    std::uint16_t length;
    std::uint16_t ack_id;
};

struct ReadRegRequest {
    std::uint32_t count;  // addresses used; not sent
    GvcpCmdHeader header;
    std::uint32_t address[GVCP_MAX_REGS];
};

struct ReadRegAck {
    std::uint32_t count;  // acknowledge length / 4
    GvcpAckHeader header;
    std::uint32_t value[GVCP_MAX_REGS];  // network order
};

struct GvcpRegPair {
    std::uint32_t address;
    std::uint32_t value;  // network order
};

struct WriteRegRequest {
    std::uint32_t count;  // pairs used; not sent
    GvcpCmdHeader header;
    GvcpRegPair pair[GVCP_MAX_REGS];
};

struct WriteRegAck {
    GvcpAckHeader header;
    std::uint16_t reserved;
    std::uint16_t index;
};

struct ReadMemRequest {
    GvcpCmdHeader header;
    std::uint32_t address;
    std::uint16_t reserved;
    std::uint16_t count;
};

struct ReadMemAck {
    GvcpAckHeader header;
    std::uint32_t address;
    std::uint8_t data[GVCP_MAX_MEM];
};

struct WriteMemRequest {
    GvcpCmdHeader header;  // the caller sets length: 4 + data bytes
    std::uint32_t address;
    std::uint8_t data[GVCP_MAX_MEM];
};

struct WriteMemAck {
    GvcpAckHeader header;
    std::uint16_t reserved;
    std::uint16_t index;
};

// A lock handed over in the order it was asked for. The heartbeat runs its
// transactions back to back; with a plain mutex it may take the lock again
// at once, each time, and keep another thread's transaction waiting for as
// many of its own as chance wants (seconds each when the camera is silent).
class TurnLock {
public:
    void lock();
    void unlock();

private:
    std::mutex m_lock;
    std::condition_variable m_turn;
    std::uint64_t m_next = 0;     // ticket of the next thread that asks
    std::uint64_t m_serving = 0;  // ticket that holds the lock
};

class CGigEProtocol {
public:
    explicit CGigEProtocol(platform::socket_t socket);
    virtual ~CGigEProtocol();
    CGigEProtocol(const CGigEProtocol&) = delete;
    CGigEProtocol& operator=(const CGigEProtocol&) = delete;

    virtual bool setAddress(const char* ip, std::uint16_t port);
    virtual int sendMsg(const char* buffer, std::uint32_t length, const sockaddr_in& to);
    virtual int recvData(char* buffer, std::uint32_t length);

    // True when this request's acknowledge came with status 0. On false the
    // acknowledge's status says why: a device status, GEV_STATUS_TIMEOUT when
    // nothing came, 0 when only foreign datagrams came.
    bool readReg(ReadRegRequest& request, ReadRegAck& ack);
    bool writeReg(WriteRegRequest& request, WriteRegAck& ack);
    bool readMem(ReadMemRequest& request, ReadMemAck& ack);
    bool writeMem(WriteMemRequest& request, WriteMemAck& ack);

    // Shutdown, for good: a transaction in progress ends its wait at once,
    // and later ones fail without traffic.
    void stop();
    // Hands the socket back to its owner (to close it); transactions after
    // this fail without traffic.
    platform::socket_t releaseSocket();

    // Attempts of each transaction, the one in progress included: it ends
    // after its current attempt when this goes down to it.
    void setAttempts(std::uint16_t attempts) { m_retryCount.store(attempts); }
    std::uint64_t recvTimeoutUs() const { return m_recvTimeoutUs.load(); }
    // How long each attempt waits for its acknowledge; set before use.
    void setRecvTimeoutUs(std::uint64_t us) { m_recvTimeoutUs.store(us); }
    // How long the device has left a request unanswered: from the first
    // request sent since its last acknowledge, 0 while nothing waits.
    std::chrono::milliseconds unansweredFor() const;
    std::uint16_t nextRequestId();
    void setNextRequestId(std::uint16_t id);

    static constexpr std::uint16_t FIRST_REQUEST_ID = 4097;
    static constexpr std::uint16_t REQUEST_ID_LIMIT = 60000;
    static constexpr std::uint64_t DEFAULT_RECV_TIMEOUT_US = 1000000;

    class AckParser;

private:
    bool transact(GvcpCmdHeader& header, std::uint16_t command, std::uint8_t* packet,
                  std::size_t payloadSize, AckParser& parser, GvcpAckHeader& ackHeader,
                  bool verbose);
    std::uint16_t takeRequestId();

    std::unique_ptr<char[]> m_recvBuf;
    std::uint32_t m_recvBufSize;
    std::atomic<platform::socket_t> m_socket;
    sockaddr_in m_deviceAddr{};
    std::mutex m_addrLock;  // setAddress may run while a transaction sends
    TurnLock m_txnLock;
    std::uint16_t m_requestId;
    std::atomic<std::uint16_t> m_retryCount;
    std::atomic<std::uint64_t> m_recvTimeoutUs;
    std::atomic<bool> m_stopped{false};
    std::atomic<std::int64_t> m_unansweredSince{0};  // steady clock ticks; 0: none
    platform::TimedReceiver m_receiver;
};
