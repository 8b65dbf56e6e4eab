#include "ManagerGigeProto.h"

#include "printfColor.h"
#include "tarnlog/LineOwner.h"
#include "upgrade/GigEProtocol.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

namespace {

constexpr std::uint32_t CCP_CONTROL_ACCESS = 2;
constexpr std::uint32_t CCP_RELEASE = 0;
// Bits of CCP that say the host still holds control (exclusive, control).
constexpr std::uint32_t CCP_HELD_BITS = 0x1 | 0x2;
constexpr std::chrono::milliseconds HEARTBEAT_RETRY_PAUSE{500};
// Each attempt's wait once a camera stopped answering: a camera on the line
// answers within milliseconds.
constexpr std::uint64_t GIVEN_UP_WAIT_US = 250000;

// Bytes sent for a memory chunk: what is left, up to a full chunk, rounded up
// to whole 32-bit words.
std::uint32_t chunkSize(std::uint32_t remaining) {
    if (remaining >= GVCP_MAX_MEM)
        return static_cast<std::uint32_t>(GVCP_MAX_MEM);
    return (remaining + 3u) & ~3u;
}

// One memory transaction of a longer read or write.
struct Chunk {
    std::uint32_t address;    // camera address of its first byte
    std::uint32_t offset;     // where it starts in the caller's buffer
    std::uint32_t remaining;  // bytes of the buffer from offset on
    std::uint32_t size;       // bytes it asks for on the wire
};

// Walks total bytes from address in chunks, at least one even for nothing;
// stops at the first chunk that fails.
template <typename Send>
bool forEachChunk(std::uint32_t address, std::uint32_t total, Send send) {
    std::uint32_t done = 0;
    do {
        const std::uint32_t remaining = total - done;
        const std::uint32_t size = chunkSize(remaining);
        if (!send(Chunk{address, done, remaining, size}))
            return false;
        done += size;
        address += size;
    } while (done < total);
    return true;
}

}  // namespace

managerGige::managerGige() : m_socket(platform::udpSocket()) {
    if (m_socket == platform::INVALID_SOCK)
        LOG_LINE("socket invalid");
    m_protocol.reset(new CGigEProtocol(m_socket));
}

managerGige::~managerGige() {
    stopHeartbeats();
    m_protocol.reset();
    if (m_socket != platform::INVALID_SOCK) {
        platform::closeSocket(m_socket);
        m_socket = platform::INVALID_SOCK;
    }
}

bool managerGige::connect(const char* ip) {
    const char* text = ip != nullptr ? ip : "";
    {
        std::lock_guard<std::mutex> lock(m_ipLock);
        m_ipAddr = text;
    }
    LOG_LINE("set ipAddr =%s", text);
    m_protocol->setAddress(text, GVCP_PORT);

    if (!setRegister(REG_CCP, CCP_CONTROL_ACCESS, &m_regSize, true))
        return false;
    if (!setRegister(REG_HEARTBEAT_TIMEOUT, m_heartbeatTimeoutMs.load(), &m_regSize, true)) {
        setRegister(REG_CCP, CCP_RELEASE, &m_regSize, true);
        return false;
    }
    m_connected.store(true);

    try {
        std::lock_guard<std::mutex> lock(m_threadsLock);
        m_heartbeatThreads.emplace_back(&managerGige::heartBeatEntry, this);
    } catch (const std::system_error&) {
        LOG_LINE("create thread failed...\n");
        return false;
    }
    return true;
}

void managerGige::giveUpOnAnswers() {
    m_givenUp.store(true);
    m_protocol->setAttempts(1);
    m_protocol->setRecvTimeoutUs(GIVEN_UP_WAIT_US);
}

bool managerGige::disconnect() {
    if (m_givenUp.load())
        stopHeartbeats(false);  // no heartbeat read queued before the release
    if (!setRegister(REG_CCP, CCP_RELEASE, &m_regSize, true))
        return false;
    stopHeartbeats();
    // Taken back from the client under its transaction lock, so no thread
    // still sends on the handle when it is closed.
    platform::socket_t s = m_protocol->releaseSocket();
    platform::closeSocket(s);
    m_socket = platform::INVALID_SOCK;
    return true;
}

void managerGige::stopHeartbeats(bool cutShort) {
    {
        // Under the pause lock, so a heartbeat cannot miss the wake-up
        // between its look at the flag and its wait.
        std::lock_guard<std::mutex> lock(m_pauseLock);
        m_heartbeatRun.store(false);
    }
    m_pauseWake.notify_all();
    // A heartbeat may sit in a transaction of several seconds; cut it short.
    if (cutShort)
        m_protocol->stop();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_threadsLock);
        threads.swap(m_heartbeatThreads);
    }
    for (std::thread& t : threads)
        if (t.joinable())
            t.join();
}

bool managerGige::isConnected() const { return m_connected.load(); }

std::chrono::milliseconds managerGige::unansweredFor() const {
    return m_protocol ? m_protocol->unansweredFor() : std::chrono::milliseconds(0);
}

void managerGige::getIpAddr(std::string& ip) const {
    std::lock_guard<std::mutex> lock(m_ipLock);
    ip = m_ipAddr;
}

bool managerGige::setRegister(std::uint32_t address, std::uint32_t value, std::uint32_t* length,
                              bool ack) {
    (void)length;
    (void)ack;
    WriteRegRequest request{};
    WriteRegAck reply{};
    request.count = 1;
    request.pair[0].address = address;
    request.pair[0].value = htonl(value);
    if (address == REG_HEARTBEAT_TIMEOUT)
        m_heartbeatTimeoutMs.store(value);
    request.header.flags = GVCP_FLAG_ACK_REQUIRED;
    if (!m_protocol->writeReg(request, reply)) {
        LOG_LINE("set register failed");
        return false;
    }
    noteAnswer();
    return true;
}

bool managerGige::getRegister(std::uint32_t address, std::uint64_t* value, std::uint32_t* length,
                              bool ack) {
    (void)length;
    ReadRegRequest request{};
    ReadRegAck reply{};
    request.count = 1;
    request.address[0] = address;
    if (ack)
        request.header.flags = GVCP_FLAG_ACK_REQUIRED;
    // CCP reads always go out: they are how the heartbeat sees the camera return.
    if (!m_connected.load() && address != REG_CCP) {
        LOG_LINE("device lost control");
        return false;
    }
    if (!m_protocol->readReg(request, reply)) {
        if (address != REG_CCP) {
            LOG_LINE("get register address failed");
            noteSilence();
        }
        return false;
    }
    noteAnswer();
    if (value != nullptr)
        *value = reply.value[0];
    return true;
}

bool managerGige::readReg(std::uint32_t address, std::uint64_t* value, std::uint32_t* length) {
    if (!getRegister(address, value, length, true)) {
        LOG_LINE("read  Register address failed");
        return false;
    }
    return true;
}

bool managerGige::writeReg(std::uint32_t address, std::uint32_t value, std::uint32_t* length) {
    if (!setRegister(address, value, length, true)) {
        LOG_LINE("set register failed");
        return false;
    }
    return true;
}

bool managerGige::readMemory(std::uint32_t address, void* buffer, std::uint32_t* count) {
    if (count == nullptr)
        return false;
    auto* out = static_cast<std::uint8_t*>(buffer);
    bool sent = forEachChunk(address, *count, [&](const Chunk& c) {
        ReadMemRequest request{};
        ReadMemAck reply{};
        request.address = c.address;
        request.header.flags = GVCP_FLAG_ACK_REQUIRED;
        request.count = static_cast<std::uint16_t>(c.size);
        if (!m_protocol->readMem(request, reply))
            return false;
        // A successful acknowledge carries at least its address.
        std::uint32_t got = std::min<std::uint32_t>(reply.header.length - 4u, c.remaining);
        if (got > 0)
            std::memcpy(out + c.offset, reply.data, got);
        return true;
    });
    if (!sent)
        LOG_LINE("readMemory failed");
    return sent;
}

bool managerGige::writeMemory(std::uint32_t address, const void* data, std::uint32_t* count) {
    if (count == nullptr)
        return false;
    const auto* in = static_cast<const std::uint8_t*>(data);
    return forEachChunk(address, *count, [&](const Chunk& c) {
        WriteMemRequest request{};
        WriteMemAck reply{};
        request.address = c.address;
        request.header.flags = GVCP_FLAG_ACK_REQUIRED;
        request.header.length = static_cast<std::uint16_t>(c.size + 4u);
        const std::uint32_t take = std::min<std::uint32_t>(c.remaining, GVCP_MAX_MEM);
        if (take > 0)
            std::memcpy(request.data, in + c.offset, take);
        return m_protocol->writeMem(request, reply);
    });
}

void managerGige::noteAnswer() {
    if (paced())
        m_lastAnswer.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

// Only when the camera has answered nothing for the whole heartbeat timeout,
// so an error status of a live camera never counts.
void managerGige::noteSilence() {
    using clock = std::chrono::steady_clock;
    if (!paced() || !m_connected.load())
        return;
    const clock::time_point last{clock::duration(m_lastAnswer.load())};
    const auto limit = std::chrono::milliseconds(m_heartbeatTimeoutMs.load());
    if (clock::now() - last >= limit && m_connected.exchange(false))
        LOG_LINE("device heartbeat timeout:%d\n", static_cast<int>(m_heartbeatTimeoutMs.load()));
}

int managerGige::heartBeatEntry(managerGige* manager) {
    if (manager == nullptr)
        return -1;
    manager->heartBeatThread();
    return 0;
}

bool managerGige::heartbeatPause(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(m_pauseLock);
    return !m_pauseWake.wait_for(lock, pause, [this] { return !m_heartbeatRun.load(); });
}

void managerGige::heartBeatThread() {
    using clock = std::chrono::steady_clock;
    std::string ip;
    getIpAddr(ip);
    TARNlog4cpp::LineOwner owner(ip);
    std::lock_guard<std::mutex> lock(m_heartbeatLock);
    bool lastRead = true;
    while (m_heartbeatRun.load()) {
        std::uint32_t privilege = 0xFF;
        bool answered = false;
        const clock::time_point start = clock::now();
        for (;;) {
            const auto limit = std::chrono::milliseconds(m_heartbeatTimeoutMs.load());
            if (clock::now() - start >= limit) {
                lastRead = false;
                LOG_LINE("device heartbeat timeout:%d\n", static_cast<int>(m_heartbeatTimeoutMs.load()));
                break;
            }
            std::uint64_t value = 0;
            if (getRegister(REG_CCP, &value, &m_regSize, true)) {
                lastRead = answered = true;
                privilege = ntohl(static_cast<std::uint32_t>(value));
                break;
            }
            if (!m_connected.load() || !heartbeatPause(HEARTBEAT_RETRY_PAUSE))
                break;
        }
        if (!m_heartbeatRun.load())
            break;
        // Paced, only this cycle's own answer brings the link back: the loss
        // may have been told by another reader while the last read succeeded.
        if (m_connected.load() && (!lastRead || (privilege & CCP_HELD_BITS) == 0))
            m_connected.store(false);
        else if (!m_connected.load() && (paced() ? answered : lastRead))
            m_connected.store(true);
        // Only after an answer: a read that failed has already waited through
        // its retries, and a camera coming back is seen with its first answer.
        if (answered && m_heartbeatPeriod.count() > 0 && !heartbeatPause(m_heartbeatPeriod))
            break;
    }
}
