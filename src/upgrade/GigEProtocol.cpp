#include "upgrade/GigEProtocol.h"

#include "printfColor.h"
#include "wire/ByteCodec.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t RECV_BUF_SIZE = 1024;
constexpr std::uint16_t RETRY_COUNT = 3;
// Largest request: a write-registers command with every pair used.
constexpr std::size_t MAX_REQUEST = GVCP_HEADER_SIZE + GVCP_MAX_REGS * 8;

}  // namespace

// Takes the payload of an acknowledge with the right id and code. Returns
// false when the payload does not hold what the code promises; the datagram
// is then treated like any stray one.
class CGigEProtocol::AckParser {
public:
    explicit AckParser(std::uint16_t code) : m_code(code) {}
    virtual ~AckParser() = default;
    AckParser(const AckParser&) = delete;
    AckParser& operator=(const AckParser&) = delete;

    std::uint16_t code() const { return m_code; }
    virtual bool accept(const GvcpAckHeader& header, wire::Reader& payload) = 0;

private:
    std::uint16_t m_code;
};

namespace {

class ReadRegParser final : public CGigEProtocol::AckParser {
public:
    ReadRegParser(ReadRegAck& ack, std::uint32_t asked)
        : AckParser(READREG_ACK), m_ack(ack), m_asked(asked) {}
    bool accept(const GvcpAckHeader& header, wire::Reader& payload) override {
        std::uint32_t count = header.length / 4u;
        if (header.length % 4u != 0 || count > GVCP_MAX_REGS)
            return false;
        // A success must carry exactly the values asked for.
        if (header.status == 0 && count != m_asked)
            return false;
        m_ack.header = header;
        m_ack.count = count;
        for (std::uint32_t i = 0; i < count; ++i)
            payload.bytes(&m_ack.value[i], 4);  // values stay in wire order
        return true;
    }

private:
    ReadRegAck& m_ack;
    std::uint32_t m_asked;
};

// WRITEREG_ACK and WRITEMEM_ACK share their layout.
template <typename Ack>
class IndexAckParser final : public CGigEProtocol::AckParser {
public:
    IndexAckParser(std::uint16_t code, Ack& ack) : AckParser(code), m_ack(ack) {}
    bool accept(const GvcpAckHeader& header, wire::Reader& payload) override {
        m_ack.header = header;
        // Error acknowledges may come without the index.
        if (payload.remaining() >= 4) {
            m_ack.reserved = payload.u16();
            m_ack.index = payload.u16();
        }
        return true;
    }

private:
    Ack& m_ack;
};

class ReadMemParser final : public CGigEProtocol::AckParser {
public:
    explicit ReadMemParser(ReadMemAck& ack) : AckParser(READMEM_ACK), m_ack(ack) {}
    bool accept(const GvcpAckHeader& header, wire::Reader& payload) override {
        if (header.length > 4 + GVCP_MAX_MEM)
            return false;
        if (header.length < 4) {
            if (header.status == 0)
                return false;
            m_ack.header = header;
            return true;
        }
        m_ack.header = header;
        m_ack.address = payload.u32();
        payload.bytes(m_ack.data, header.length - 4u);
        return true;
    }

private:
    ReadMemAck& m_ack;
};

void putHeader(std::uint8_t* packet, const GvcpCmdHeader& header) {
    packet[0] = header.key;
    packet[1] = header.flags;
    wire::put16(packet + 2, header.command);
    wire::put16(packet + 4, header.length);
    wire::put16(packet + 6, header.req_id);
}

}  // namespace

void TurnLock::lock() {
    std::unique_lock<std::mutex> guard(m_lock);
    const std::uint64_t ticket = m_next++;
    m_turn.wait(guard, [&] { return m_serving == ticket; });
}

void TurnLock::unlock() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_serving;
    }
    m_turn.notify_all();
}

CGigEProtocol::CGigEProtocol(platform::socket_t socket)
    : m_recvBuf(new char[RECV_BUF_SIZE]),
      m_recvBufSize(RECV_BUF_SIZE),
      m_socket(socket),
      m_requestId(FIRST_REQUEST_ID),
      m_retryCount(RETRY_COUNT),
      m_recvTimeoutUs(DEFAULT_RECV_TIMEOUT_US) {
    m_deviceAddr.sin_family = AF_INET;
    if (socket != platform::INVALID_SOCK)
        m_receiver.prepare(socket);
}

CGigEProtocol::~CGigEProtocol() = default;

bool CGigEProtocol::setAddress(const char* ip, std::uint16_t port) {
    sockaddr_in addr = platform::makeAddr(ip, port);
    std::lock_guard<std::mutex> lock(m_addrLock);
    m_deviceAddr = addr;
    return true;
}

int CGigEProtocol::sendMsg(const char* buffer, std::uint32_t length, const sockaddr_in& to) {
    platform::socket_t s = m_socket.load();
    int n = platform::sendDatagram(s, buffer, length, to);
    if (n < 0) {
        LOG_LINE("CTftpSocket_New::sendMsg failed[first]...,errCode[1]:%d,errCode[2]:%d\n",
                 platform::lastSocketError(), platform::lastErrno());
        n = platform::sendDatagram(s, buffer, length, to);
        if (n < 0)
            LOG_LINE("CTftpSocket_New::sendMsg failed[second]...,errCode[1]:%d,errCode[2]:%d\n",
                     platform::lastSocketError(), platform::lastErrno());
    }
    return n;
}

int CGigEProtocol::recvData(char* buffer, std::uint32_t length) {
    platform::socket_t s = m_socket.load();
    if (s == platform::INVALID_SOCK) {
        LOG_LINE("select error");
        return -1;
    }
    int n = m_receiver.receive(s, buffer, length, static_cast<std::int64_t>(m_recvTimeoutUs.load()));
    if (n == platform::RECV_WOKEN)
        return -1;
    if (n == platform::RECV_TIMEOUT) {
        LOG_LINE("select timeout");
        return -1;
    }
    // The second try never blocks, so it cannot outlast the transaction's
    // time-out.
    if (n < 0)
        n = platform::recvDatagram(s, buffer, length, nullptr);
    return n < 0 ? -1 : n;
}

std::uint16_t CGigEProtocol::takeRequestId() {
    std::uint16_t id = m_requestId;
    ++m_requestId;
    if (m_requestId >= REQUEST_ID_LIMIT)
        m_requestId = FIRST_REQUEST_ID;
    return id;
}

std::uint16_t CGigEProtocol::nextRequestId() {
    std::lock_guard<TurnLock> lock(m_txnLock);
    return m_requestId;
}

void CGigEProtocol::setNextRequestId(std::uint16_t id) {
    std::lock_guard<TurnLock> lock(m_txnLock);
    m_requestId = id;
}

void CGigEProtocol::stop() {
    m_stopped.store(true);
    m_receiver.interrupt(m_socket.load());
}

platform::socket_t CGigEProtocol::releaseSocket() {
    std::lock_guard<TurnLock> lock(m_txnLock);
    return m_socket.exchange(platform::INVALID_SOCK);
}

bool CGigEProtocol::transact(GvcpCmdHeader& header, std::uint16_t command, std::uint8_t* packet,
                             std::size_t payloadSize, AckParser& parser, GvcpAckHeader& ackHeader,
                             bool verbose) {
    std::lock_guard<TurnLock> lock(m_txnLock);

    header.key = GVCP_KEY;
    header.command = command;
    header.length = static_cast<std::uint16_t>(payloadSize);
    header.req_id = takeRequestId();
    putHeader(packet, header);
    const std::uint16_t id = header.req_id;
    const std::uint32_t size = static_cast<std::uint32_t>(GVCP_HEADER_SIZE + payloadSize);
    sockaddr_in to;
    {
        std::lock_guard<std::mutex> addrLock(m_addrLock);
        to = m_deviceAddr;
    }

    const std::uint64_t savedTimeoutUs = m_recvTimeoutUs.load();
    bool raised = false;  // by a pending acknowledge, for this transaction only
    bool received = false;
    bool done = false;
    for (std::uint16_t attempt = 0; attempt < m_retryCount.load() && !done && !m_stopped.load();
         ++attempt) {
        bool pending = false;
        if (!received) {
            std::int64_t none = 0;
            m_unansweredSince.compare_exchange_strong(
                none, std::chrono::steady_clock::now().time_since_epoch().count());
            sendMsg(reinterpret_cast<const char*>(packet), size, to);
        }
        do {
            int n = recvData(m_recvBuf.get(), m_recvBufSize);
            if (n < 0) {
                if (pending && verbose)
                    LOG_LINE("Already receive padding. Then recvData fail, and break the circle\n");
                break;
            }
            received = true;
            if (verbose)
                LOG_LINE("receive data succeed\n");

            wire::Reader reader(m_recvBuf.get(), static_cast<std::size_t>(n));
            GvcpAckHeader ack{};
            ack.status = reader.u16();
            ack.acknowledge = reader.u16();
            ack.length = reader.u16();
            ack.ack_id = reader.u16();
            // Short datagrams and length fields that promise more than arrived
            // are ignored like any stray datagram.
            if (!reader.ok() || ack.length > reader.remaining() || ack.ack_id != id)
                continue;
            m_unansweredSince.store(0);
            wire::Reader payload(reader.current(), ack.length);
            if (ack.acknowledge == PENDING_ACK) {
                payload.u16();
                std::uint16_t toCompletionMs = payload.u16();
                if (!payload.ok())
                    continue;
                pending = true;
                if (verbose)
                    LOG_LINE("receive Ack succeed\n");
                // Always against the saved value: a second pending acknowledge
                // with a shorter time brings the wait back down.
                if (std::uint64_t{toCompletionMs} * 1000u > savedTimeoutUs) {
                    m_recvTimeoutUs.store((std::uint64_t{toCompletionMs} + 10u) * 1000u);
                    raised = true;
                }
                if (verbose)
                    LOG_LINE("receive panding timeout acknowledge\n");
            } else if (ack.acknowledge == parser.code() && parser.accept(ack, payload)) {
                pending = false;
                done = true;
                if (verbose)
                    LOG_LINE("receive Ack succeed1\n");
            }
        } while (pending && !m_stopped.load());
    }

    if (raised)
        m_recvTimeoutUs.store(savedTimeoutUs);
    if (!received) {
        ackHeader.status = GEV_STATUS_TIMEOUT;
        if (verbose)
            LOG_LINE("GEV_STATUS_TIMEOUT\n");
    }
    return done && ackHeader.status == 0;
}

std::chrono::milliseconds CGigEProtocol::unansweredFor() const {
    std::int64_t since = m_unansweredSince.load();
    if (since == 0)
        return std::chrono::milliseconds(0);
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        now - std::chrono::steady_clock::duration(since));
}

bool CGigEProtocol::readReg(ReadRegRequest& request, ReadRegAck& ack) {
    std::uint8_t packet[MAX_REQUEST];
    std::uint32_t n = std::min<std::uint32_t>(request.count, GVCP_MAX_REGS);
    for (std::uint32_t i = 0; i < n; ++i)
        wire::put32(packet + GVCP_HEADER_SIZE + 4 * i, request.address[i]);
    ReadRegParser parser(ack, n);
    return transact(request.header, READREG_CMD, packet, 4 * n, parser, ack.header, false);
}

bool CGigEProtocol::writeReg(WriteRegRequest& request, WriteRegAck& ack) {
    std::uint8_t packet[MAX_REQUEST];
    std::uint32_t n = std::min<std::uint32_t>(request.count, GVCP_MAX_REGS);
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint8_t* p = packet + GVCP_HEADER_SIZE + 8 * i;
        wire::put32(p, request.pair[i].address);
        std::memcpy(p + 4, &request.pair[i].value, 4);  // already in wire order
    }
    IndexAckParser<WriteRegAck> parser(WRITEREG_ACK, ack);
    return transact(request.header, WRITEREG_CMD, packet, 8 * n, parser, ack.header, true);
}

bool CGigEProtocol::readMem(ReadMemRequest& request, ReadMemAck& ack) {
    std::uint8_t packet[GVCP_HEADER_SIZE + 8];
    std::uint8_t* p = packet + GVCP_HEADER_SIZE;
    wire::put32(p, request.address);
    wire::put16(p + 4, request.reserved);
    wire::put16(p + 6, request.count);
    ReadMemParser parser(ack);
    return transact(request.header, READMEM_CMD, packet, 8, parser, ack.header, false);
}

bool CGigEProtocol::writeMem(WriteMemRequest& request, WriteMemAck& ack) {
    std::uint8_t packet[GVCP_HEADER_SIZE + 4 + GVCP_MAX_MEM];
    // The caller's length field says how much of address and data goes out.
    std::size_t length = std::min<std::size_t>(request.header.length, 4 + GVCP_MAX_MEM);
    std::uint8_t* p = packet + GVCP_HEADER_SIZE;
    wire::put32(p, request.address);
    std::memcpy(p + 4, request.data, GVCP_MAX_MEM);
    IndexAckParser<WriteMemAck> parser(WRITEMEM_ACK, ack);
    return transact(request.header, WRITEMEM_CMD, packet, length, parser, ack.header, false);
}
