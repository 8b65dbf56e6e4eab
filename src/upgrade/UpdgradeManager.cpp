#include "upgrade/UpdgradeManager.h"

#include "platform/socket.h"
#include "printfColor.h"
#include "session/SessionStates.h"
#include "tarnlog/LineOwner.h"
#include "upgrade/DevApp.h"
#include "upgrade/UdpSock.h"

#include <chrono>

updgradeManager::updgradeManager()
    : m_udp(std::make_unique<CUdpSocket>(
          CUdpSocket::Owner::Manager,
          [this](const char* data, std::uint32_t length, const char* fromIp, std::uint16_t fromPort) {
              msgDispatch(data, length, fromIp, fromPort);
          })) {}

updgradeManager::~updgradeManager() {
    // The file service goes first: its receive thread may be inside a
    // dispatch. The pollers are joined here, before the members they read go.
    m_udp.reset();
    std::vector<std::unique_ptr<Poller>> pollers;
    {
        std::lock_guard<std::mutex> guard(m_pollLock);
        pollers.swap(m_pollers);
    }
    endPollers(std::move(pollers));
}

bool updgradeManager::startServer(std::string /*path*/, bool serveFiles) {
    m_running = true;
    if (serveFiles) {
        sockaddr_in local = platform::makeAddr("0.0.0.0", FILE_SERVICE_PORT);
        m_running = m_udp->startUdpServer(&local);
    }
    return m_running;
}

bool updgradeManager::addDevice(DevApp* device, std::string packagePath, bool preUpgradeClear) {
    {
        std::lock_guard<std::mutex> guard(m_devLock);
        m_devices.push_back(device);
    }
    auto poller = std::make_unique<Poller>();
    poller->device = device;
    poller->thread = std::thread(&updgradeManager::pollLoop, this, poller.get());
    {
        std::lock_guard<std::mutex> guard(m_pollLock);
        m_pollers.push_back(std::move(poller));
    }
    return device->startUpgrade(std::move(packagePath), preUpgradeClear);
}

void updgradeManager::removeDevice(DevApp* device) {
    {
        std::lock_guard<std::mutex> guard(m_devLock);
        for (auto it = m_devices.begin(); it != m_devices.end();)
            it = *it == device ? m_devices.erase(it) : it + 1;
    }
    std::vector<std::unique_ptr<Poller>> gone;
    {
        std::lock_guard<std::mutex> guard(m_pollLock);
        for (auto it = m_pollers.begin(); it != m_pollers.end();) {
            if ((*it)->device == device) {
                gone.push_back(std::move(*it));
                it = m_pollers.erase(it);
            } else {
                ++it;
            }
        }
    }
    endPollers(std::move(gone));
}

// The period runs from the end of the previous poll: a poll that waited
// seconds for its answer is followed by a full pause, as the camera expects.
void updgradeManager::pollLoop(Poller* poller) {
    TARNlog4cpp::LineOwner owner(poller->device->getDeviceIp());
    std::unique_lock<std::mutex> guard(m_pollLock);
    for (;;) {
        if (m_pollWake.wait_for(guard, m_pollPeriod, [poller] { return poller->stop; }))
            return;
        guard.unlock();
        poller->device->updateProgress();
        guard.lock();
    }
}

void updgradeManager::endPollers(std::vector<std::unique_ptr<Poller>> pollers) {
    {
        std::lock_guard<std::mutex> guard(m_pollLock);
        for (auto& poller : pollers)
            poller->stop = true;
    }
    m_pollWake.notify_all();
    for (auto& poller : pollers)
        if (poller->thread.joinable())
            poller->thread.join();
}

void updgradeManager::msgDispatch(const char* data, std::uint32_t length, const char* fromIp,
                                  std::uint16_t fromPort) {
    TARNlog4cpp::LineOwner owner(fromIp);
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

void updgradeManager::stopServer() {
    m_udp->resetUdpStatus();
    {
        std::lock_guard<std::mutex> guard(m_devLock);
        m_devices.clear();
    }
    std::vector<std::unique_ptr<Poller>> pollers;
    {
        std::lock_guard<std::mutex> guard(m_pollLock);
        pollers.swap(m_pollers);
    }
    endPollers(std::move(pollers));
    m_running = false;
}

bool updgradeManager::isAllFinished() {
    std::lock_guard<std::mutex> guard(m_devLock);
    for (DevApp* device : m_devices) {
        if (device == nullptr)
            continue;
        if (!sessionEnded(device->getStatus()))
            return false;
    }
    return true;
}

bool updgradeManager::isRunning() const { return m_running; }
