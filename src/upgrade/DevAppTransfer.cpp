// The sending half of the session: serves the firmware files the camera asks
// for, one 512-byte block per acknowledgement, from a socket of its own.

#include "platform/pathguard.h"
#include "printfColor.h"
#include "session/SessionStates.h"
#include "tarnlog/LineOwner.h"
#include "wire/ByteCodec.h"
#include "upgrade/DevApp.h"
#include "upgrade/UdpSock.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

namespace {

enum Opcode : std::uint16_t {
    FT_RRQ = 1,
    FT_WRQ = 2,
    FT_DATA = 3,
    FT_ACK = 4,
    FT_ERROR = 5,
    FT_OACK = 6,
};

constexpr std::size_t HEADER_SIZE = 4;  // opcode and block number
// How long a handler pauses before it tries the transfer lock again.
constexpr std::chrono::microseconds LOCK_RETRY{100};

// Opens a requested file for reading, but only a regular file that lies
// inside dir once every link on the way has been followed.
std::FILE* openServedFile(const std::string& dir, const char* name) {
    std::filesystem::path target = platform::resolveBelow(dir, name);
    std::error_code ec;
    if (target.empty() || !std::filesystem::is_regular_file(target, ec))
        return nullptr;
    return std::fopen(target.string().c_str(), "rb");
}

}  // namespace

void DevApp::fileRequest(const char* data, std::uint32_t length, std::uint16_t fromPort) {
    std::lock_guard<std::recursive_mutex> lock(m_transferLock);
    std::string deviceIp = getDeviceIp();
    LOG_LINE("receive file request from ip = %s\n", deviceIp.c_str());

    wire::Reader reader(data, length);
    std::uint16_t opcode = reader.u16();
    if (opcode != FT_RRQ) {
        char text[64];
        std::snprintf(text, sizeof text, "unknown request:%d from client\n", int{opcode});
        LOG_ERROR_(text);
        return;
    }
    m_peerAddr = platform::makeAddr(deviceIp.c_str(), fromPort);

    // The name must end inside the datagram; one that runs to its end is no
    // name at all.
    const char* name = data + reader.position();
    bool terminated = std::memchr(name, '\0', reader.remaining()) != nullptr;
    sendFile(terminated ? name : nullptr);
}

void DevApp::sendFile(const char* fileName) {
    std::lock_guard<std::recursive_mutex> lock(m_transferLock);
    if (fileName == nullptr) {
        LOG_LINE("fileName is NULL\n");
        m_upgradeProgress = ST_INNER_ERROR;
        return;
    }
    stopSend();

    sockaddr_in local = platform::makeAddr(m_hostIp.c_str(), 0);
    if (m_udpSocket == nullptr || !m_udpSocket->startUdpServer(&local)) {
        LOG_ERROR_("fail to open socket\n");
        m_upgradeProgress = ST_INNER_ERROR;
        return;
    }

    std::string dir = fwDir();
    std::FILE* file = openServedFile(dir, fileName);
    if (file == nullptr) {
        stopSend();
        m_upgradeProgress = ST_INNER_ERROR;
        std::string text = "can not open send file " + dir + fileName + "!\n";
        LOG_ERROR_(text.c_str());
        return;
    }
    {
        std::error_code ec;
        std::uint64_t size = std::filesystem::file_size(dir + fileName, ec);
        std::lock_guard<std::mutex> served(m_servedLock);
        m_served.file = fileName;
        m_served.fileBytes = 0;
        m_served.fileSize = ec ? 0 : size;
        m_served.active = true;
    }
    m_file = file;
    m_sending = true;
    m_blockNo = 0;
    sendBlock(0);
}

void DevApp::sendBlock(std::uint16_t ack) {
    std::lock_guard<std::recursive_mutex> lock(m_transferLock);
    if (m_udpSocket == nullptr)
        return;
    if (ack != m_blockNo) {
        // Lock-step without a timer: whatever the camera acknowledges out of
        // turn, it gets the block it still lacks.
        if (m_udpSocket->sendMsg(m_sendBuf, static_cast<int>(HEADER_SIZE) + m_sendLen, &m_peerAddr) <
            0) {
            char text[64];
            std::snprintf(text, sizeof text, "resend block %d error!\n", int{ack});
            LOG_ERROR_(text);
            stopSend();
        }
        return;
    }

    ++m_blockNo;
    if (m_file == nullptr) {
        LOG_LINE("file send finish\n");
        countFinished();
        stopSend();
        return;
    }
    if (!m_sending) {
        LOG_LINE("is sending, ignore block(%d) ack\n", int{ack});
        return;
    }

    wire::Writer header(m_sendBuf, HEADER_SIZE);
    header.u16(FT_DATA);
    header.u16(m_blockNo);
    std::size_t got = std::fread(m_sendBuf + HEADER_SIZE, 1, BLOCK_SIZE, m_file);
    m_sendLen = static_cast<std::int32_t>(got);
    if (got == 0) {
        // A length that is a multiple of the block size ends with the
        // acknowledgement of its last full block, not with an empty one.
        LOG_LINE("file send finish\n");
        countFinished();
        stopSend();
        return;
    }
    if (m_blockNo == 1)
        LOG_LINE("sending first block %d -> remoteAddr=%s:%u\n", int{m_blockNo},
                 platform::addrText(m_peerAddr).c_str(), unsigned{ntohs(m_peerAddr.sin_port)});
    if (m_udpSocket->sendMsg(m_sendBuf, static_cast<int>(HEADER_SIZE) + m_sendLen, &m_peerAddr) < 0) {
        LOG_ERROR_("socket send error!\n");
        stopSend();
        return;
    }
    {
        std::lock_guard<std::mutex> served(m_servedLock);
        m_served.fileBytes += got;
        m_served.total += got;
    }
    if (got < BLOCK_SIZE) {
        LOG_LINE("last packet send out\n");
        std::fclose(m_file);
        m_file = nullptr;
    }
}

void DevApp::msgProc(const char* data, std::uint32_t length, const char* /*fromIp*/,
                     std::uint16_t /*fromPort*/) {
    TARNlog4cpp::LineOwner owner(getDeviceIp());
    if (!m_sending)
        return;
    // Whoever holds the lock may be ending this very transfer and waiting for
    // this thread to leave: then m_sending is already false, and we give up.
    std::unique_lock<std::recursive_mutex> lock(m_transferLock, std::try_to_lock);
    while (!lock.owns_lock()) {
        if (!m_sending)
            return;
        std::this_thread::sleep_for(LOCK_RETRY);
        lock.try_lock();
    }
    if (!m_sending)
        return;

    wire::Reader reader(data, length);
    std::uint16_t opcode = reader.u16();
    if (!reader.ok())
        return;
    switch (opcode) {
    case FT_WRQ:
    case FT_DATA:
    case FT_OACK:
        return;
    case FT_ACK: {
        // One too short to carry a block number is unexpected like any
        // other: it acknowledges nothing new, so the current block goes again.
        std::uint16_t block = reader.u16();
        sendBlock(reader.ok() ? block : static_cast<std::uint16_t>(m_blockNo - 1));
        return;
    }
    case FT_ERROR:
        LOG_ERROR_("device ending send, because of error,send offset\n");
        stopSend();
        return;
    default:
        LOG_LINE("case others:%u\n", unsigned{opcode});
        stopSend();
        return;
    }
}

void DevApp::stopSend() {
    std::lock_guard<std::recursive_mutex> lock(m_transferLock);
    {
        std::lock_guard<std::mutex> served(m_servedLock);
        m_served.active = false;
    }
    m_sending = false;
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (m_udpSocket != nullptr)
        m_udpSocket->resetUdpStatus();
}

void DevApp::countFinished() {
    std::lock_guard<std::mutex> served(m_servedLock);
    ++m_served.filesDone;
    m_served.lastDone = std::chrono::steady_clock::now();
}

DevApp::Served DevApp::served() const {
    std::lock_guard<std::mutex> served(m_servedLock);
    return m_served;
}
