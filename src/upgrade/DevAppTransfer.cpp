// The sending half of the session: serves the firmware files the camera asks
// for from a socket of its own. What goes out when is the block sender's
// call; this is the loop around it that sends, logs and ends the transfer.

#include "platform/pathguard.h"
#include "printfColor.h"
#include "session/SessionStates.h"
#include "tarnlog/LineOwner.h"
#include "upgrade/DevApp.h"
#include "upgrade/UdpSock.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t FILE_BUFFER_BYTES = 64 * 1024;
// How long a handler pauses before it tries the transfer lock again.
constexpr std::chrono::microseconds LOCK_RETRY{100};

// Opens a requested file for reading, but only a regular file that lies
// inside dir once every link on the way has been followed.
std::FILE* openServedFile(const std::string& dir, const char* name) {
    std::filesystem::path target = platform::resolveBelow(dir, name);
    std::error_code ec;
    if (target.empty() || !std::filesystem::is_regular_file(target, ec))
        return nullptr;
    std::FILE* file = std::fopen(target.string().c_str(), "rb");
    // One read of the disk for every 128 blocks rather than every 8.
    if (file != nullptr)
        std::setvbuf(file, nullptr, _IOFBF, FILE_BUFFER_BYTES);
    return file;
}

}  // namespace

void DevApp::fileRequest(const char* data, std::uint32_t length, std::uint16_t fromPort) {
    std::lock_guard<std::recursive_mutex> lock(m_transferLock);
    std::string deviceIp = getDeviceIp();
    LOG_LINE("receive file request from ip = %s\n", deviceIp.c_str());

    transfer::Request request = transfer::parseRequest(data, length);
    if (request.opcode != transfer::FT_RRQ) {
        char text[64];
        std::snprintf(text, sizeof text, "unknown request:%d from client\n", int{request.opcode});
        LOG_ERROR_(text);
        return;
    }
    m_peerAddr = platform::makeAddr(deviceIp.c_str(), fromPort);
    sendFile(request.name);
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
    carryOut(m_sender.start(
        [file](char* into, std::size_t n) { return std::fread(into, 1, n, file); }));
}

void DevApp::sendBlock(std::uint16_t ack) {
    std::lock_guard<std::recursive_mutex> lock(m_transferLock);
    carryOut(m_sender.acknowledge(ack));
}

void DevApp::carryOut(transfer::Step step) {
    if (m_udpSocket == nullptr)
        return;
    switch (step.action) {
    case transfer::Action::None:
        return;
    case transfer::Action::Send:
        sendNext();
        return;
    case transfer::Action::Resend:
        if (sendPacket() < 0) {
            char text[64];
            std::snprintf(text, sizeof text, "resend block %d error!\n", int{step.value});
            LOG_ERROR_(text);
            stopSend();
        }
        return;
    case transfer::Action::Finished:
        LOG_LINE("file send finish\n");
        countFinished();
        stopSend();
        return;
    case transfer::Action::Aborted:
        LOG_ERROR_("device ending send, because of error,send offset\n");
        stopSend();
        return;
    case transfer::Action::Unknown:
        LOG_LINE("case others:%u\n", unsigned{step.value});
        stopSend();
        return;
    }
}

void DevApp::sendNext() {
    if (m_sender.block() == 1)
        LOG_LINE("sending first block %d -> remoteAddr=%s:%u\n", int{m_sender.block()},
                 platform::addrText(m_peerAddr).c_str(), unsigned{ntohs(m_peerAddr.sin_port)});
    if (sendPacket() < 0) {
        LOG_ERROR_("socket send error!\n");
        stopSend();
        return;
    }
    {
        std::lock_guard<std::mutex> served(m_servedLock);
        m_served.fileBytes += m_sender.dataBytes();
        m_served.total += m_sender.dataBytes();
    }
    if (m_sender.lastBlock()) {
        LOG_LINE("last packet send out\n");
        std::fclose(m_file);
        m_file = nullptr;
    }
}

int DevApp::sendPacket() {
    return m_udpSocket->sendMsg(m_sender.packet(), static_cast<int>(m_sender.packetSize()),
                                &m_peerAddr);
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
    carryOut(m_sender.receive(data, length));
}

void DevApp::stopSend() {
    std::lock_guard<std::recursive_mutex> lock(m_transferLock);
    {
        std::lock_guard<std::mutex> served(m_servedLock);
        m_served.active = false;
    }
    m_sending = false;
    m_sender.stop();
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
