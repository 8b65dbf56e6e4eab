// updgradeManager: owns the port-69 file service, routes each read request
// to the session of the camera that sent it, and polls every session's
// progress every 2000 ms.
#pragma once

#include "myThread1.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CUdpSocket;
class DevApp;

class updgradeManager : public myThread1 {
public:
    updgradeManager();
    ~updgradeManager() override;

    bool startServer(std::string path, bool serveFiles);
    bool addDevice(DevApp* device, std::string packagePath, bool preUpgradeClear);
    void msgDispatch(const char* data, std::uint32_t length, const char* fromIp,
                     std::uint16_t fromPort);
    void run() override;
    void stopServer();
    bool isAllFinished();
    bool isRunning() const;

    static constexpr std::uint16_t FILE_SERVICE_PORT = 69;

private:
    // Raises the stop flag and cuts the polling pause short.
    void requestStop();

    std::vector<DevApp*> m_devices;
    std::mutex m_devLock;
    std::atomic<bool> m_running{false};
    std::unique_ptr<CUdpSocket> m_udp;

    std::mutex m_pauseLock;
    std::condition_variable m_pauseWake;
    bool m_pollStarted = false;  // only the job's thread starts the poll
};
