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
    // dispatch. The poll is joined here, before the members it reads go.
    m_udp.reset();
    requestStop();
    join();
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

void updgradeManager::pollLoop(Poller* poller) {
    TARNlog4cpp::LineOwner owner(poller->device->getDeviceIp());
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(m_pollLock);
            m_pollWake.wait(guard, [poller] { return poller->due || poller->stop; });
            if (poller->stop)
                return;
            poller->due = false;
        }
        poller->device->updateProgress();
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

void updgradeManager::run() {
    while (!isStop()) {
        {
            // A poll still running from the last period runs once more as
            // soon as it ends.
            std::lock_guard<std::mutex> guard(m_pollLock);
            for (auto& poller : m_pollers)
                poller->due = true;
        }
        m_pollWake.notify_all();
        std::unique_lock<std::mutex> pause(m_pauseLock);
        m_pauseWake.wait_for(pause, m_pollPeriod, [this] { return isStop(); });
    }
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
    requestStop();
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

void updgradeManager::requestStop() {
    {
        // Under the pause lock, so the poll cannot miss the wake-up between
        // its look at the flag and its wait.
        std::lock_guard<std::mutex> guard(m_pauseLock);
        stop();
    }
    m_pauseWake.notify_all();
}
