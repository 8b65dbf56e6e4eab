// updgradeManager: owns the port-69 file service, routes each read request
// to the session of the camera that sent it, and polls every session's
// progress every 2000 ms. Each session is polled on a thread of its own, so
// that a camera whose status read hangs for seconds (it is restarting) holds
// up neither the other cameras' polls nor their read requests.
#pragma once

#include "myThread1.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CUdpSocket;
class DevApp;

class updgradeManager : public myThread1 {
public:
    updgradeManager();
    ~updgradeManager() override;

    bool startServer(std::string path, bool serveFiles);
    bool addDevice(DevApp* device, std::string packagePath, bool preUpgradeClear);
    // Forgets a session: no dispatch or poll reaches it once this returns.
    void removeDevice(DevApp* device);
    void msgDispatch(const char* data, std::uint32_t length, const char* fromIp,
                     std::uint16_t fromPort);
    void run() override;
    void stopServer();
    // Part of the specified interface; the job's flow does not call it (each
    // camera's worker watches its own session).
    bool isAllFinished();
    bool isRunning() const;
    // How often each session is polled; set before startServer.
    void setPollPeriod(std::chrono::milliseconds period) { m_pollPeriod = period; }

    static constexpr std::uint16_t FILE_SERVICE_PORT = 69;

private:
    // The thread that polls one session whenever the polling thread says so.
    struct Poller {
        DevApp* device = nullptr;
        bool due = false;
        bool stop = false;
        std::thread thread;
    };
    void pollLoop(Poller* poller);
    // Ends the pollers and joins them, outside every lock.
    void endPollers(std::vector<std::unique_ptr<Poller>> pollers);

    // Raises the stop flag and cuts the polling pause short.
    void requestStop();

    std::vector<DevApp*> m_devices;
    std::mutex m_devLock;
    std::atomic<bool> m_running{false};
    std::unique_ptr<CUdpSocket> m_udp;

    std::mutex m_pauseLock;
    std::condition_variable m_pauseWake;
    bool m_pollStarted = false;  // only the job's thread starts the poll

    std::chrono::milliseconds m_pollPeriod{2000};
    std::mutex m_pollLock;  // m_pollers and their flags
    std::condition_variable m_pollWake;
    std::vector<std::unique_ptr<Poller>> m_pollers;
};
