#include "upgrade/UpdgradeManager.h"

#include "main.h"
#include "platform/socket.h"
#include "printfColor.h"
#include "upgrade/DevApp.h"
#include "upgrade/UdpSock.h"

#include <chrono>

namespace {

constexpr std::chrono::milliseconds POLL_PERIOD{2000};

}  // namespace

updgradeManager::updgradeManager() : m_udp(std::make_unique<CUdpSocket>(this)) {}

updgradeManager::~updgradeManager() {
    // The file service goes first: its receive thread may be inside a
    // dispatch. The poll is joined here, before the members it reads go.
    m_udp.reset();
    requestStop();
    join();
}

bool updgradeManager::startServer(std::string /*path*/, bool serveFiles) {
    m_running = true;
    if (serveFiles) {
        sockaddr_in local = platform::makeAddr("0.0.0.0", FILE_SERVICE_PORT);
        m_running = m_udp->startUdpServer(&local);
    }
    if (m_running && !m_pollStarted) {
        m_pollStarted = true;
        start();
    }
    return m_running;
}

bool updgradeManager::addDevice(DevApp* device, std::string packagePath, bool preUpgradeClear) {
    {
        std::lock_guard<std::mutex> guard(m_devLock);
        m_devices.push_back(device);
    }
    return device->startUpgrade(std::move(packagePath), preUpgradeClear);
}

void updgradeManager::msgDispatch(const char* data, std::uint32_t length, const char* fromIp,
                                  std::uint16_t fromPort) {
    std::lock_guard<std::mutex> guard(m_devLock);
    for (DevApp* device : m_devices) {
        if (device == nullptr)
            continue;
        if (device->getDeviceIp() == fromIp) {
            device->fileRequest(data, length, fromPort);
            return;
        }
        LOG_LINE("ip is different");
    }
    LOG_LINE("file request msg not deal, ip:%s\n", fromIp);
}

void updgradeManager::run() {
    while (!isStop()) {
        {
            std::lock_guard<std::mutex> guard(m_devLock);
            for (DevApp* device : m_devices)
                if (device != nullptr)
                    device->updateProgress();
        }
        std::unique_lock<std::mutex> pause(m_pauseLock);
        m_pauseWake.wait_for(pause, POLL_PERIOD, [this] { return isStop(); });
    }
}

void updgradeManager::stopServer() {
    m_udp->resetUdpStatus();
    {
        std::lock_guard<std::mutex> guard(m_devLock);
        m_devices.clear();
    }
    m_running = false;
    requestStop();
}

bool updgradeManager::isAllFinished() {
    std::lock_guard<std::mutex> guard(m_devLock);
    for (DevApp* device : m_devices) {
        if (device == nullptr)
            continue;
        unsigned state = device->getStatus() & 0xFFu;
        if (state == ST_UPGRADING || state == ST_READY || state == ST_READY_SENDING)
            return false;
    }
    return true;
}

bool updgradeManager::isRunning() const { return m_running; }

void updgradeManager::requestStop() {
    {
        // Under the pause lock, so the poll cannot miss the wake-up between
        // its look at the flag and its wait.
        std::lock_guard<std::mutex> guard(m_pauseLock);
        stop();
    }
    m_pauseWake.notify_all();
}
