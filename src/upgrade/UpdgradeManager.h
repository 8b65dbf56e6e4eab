// updgradeManager: owns the port-69 file service, routes each read request
// to the session of the camera that sent it, and polls every session's
// progress every 2000 ms.
#pragma once

#include "myThread1.h"

#include <cstdint>
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
    // Filled in with the implementation.
};
