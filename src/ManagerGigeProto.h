// managerGige: the control channel to one camera. Owns the GVCP socket and
// client, takes control of the camera, keeps it with a heartbeat thread and
// offers register and memory access.
#pragma once

#include "platform/socket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CGigEProtocol;

class managerGige {
public:
    managerGige();
    ~managerGige();
    managerGige(const managerGige&) = delete;
    managerGige& operator=(const managerGige&) = delete;

    // Takes control (CCP = 2, heartbeat timeout) and starts a heartbeat.
    bool connect(const char* ip);
    // Releases control (CCP = 0), stops the heartbeat, closes the socket.
    // The end of the object's use: after it, only the destructor may follow
    // (the client is stopped for good and there is no socket to reconnect
    // on), so its sessions must be gone before.
    bool disconnect();
    // The camera has stopped answering for good: from now on each request
    // of this channel, one in progress included, goes out once and waits
    // for its answer only briefly. A camera
    // drops the control whose heartbeat it missed by itself; retries would
    // only keep the host waiting.
    void giveUpOnAnswers();
    bool isConnected() const;
    // How long the camera has left a request of this channel unanswered
    // (0 while it answers): a restart shows here long before the
    // heartbeat's time-out clears the connected flag.
    std::chrono::milliseconds unansweredFor() const;
    void getIpAddr(std::string& ip) const;

    // Values go in host order and come back in network order.
    bool setRegister(std::uint32_t address, std::uint32_t value, std::uint32_t* length, bool ack);
    bool getRegister(std::uint32_t address, std::uint64_t* value, std::uint32_t* length, bool ack);
    bool readReg(std::uint32_t address, std::uint64_t* value, std::uint32_t* length);
    bool writeReg(std::uint32_t address, std::uint32_t value, std::uint32_t* length);
    bool readMemory(std::uint32_t address, void* buffer, std::uint32_t* count);
    bool writeMemory(std::uint32_t address, const void* data, std::uint32_t* count);

    // The heartbeat loop; runs on a thread that connect starts.
    void heartBeatThread();
    // Pause between two answered heartbeat reads; 0 (the default) reads
    // back to back. Set before connect.
    void setHeartbeatPeriod(std::chrono::milliseconds period) { m_heartbeatPeriod = period; }

    // Camera registers this class uses itself.
    static constexpr std::uint32_t REG_CCP = 0x0A00;
    static constexpr std::uint32_t REG_HEARTBEAT_TIMEOUT = 0x0938;
    static constexpr std::uint16_t GVCP_PORT = 3956;

private:
    static int heartBeatEntry(managerGige* manager);
    // Waits up to `pause`; false when the heartbeat was told to stop
    // meanwhile, which ends the wait at once.
    bool heartbeatPause(std::chrono::milliseconds pause);
    // Stops and joins every heartbeat thread started so far; `cutShort`
    // also ends the channel's transaction in progress, and every later one.
    void stopHeartbeats(bool cutShort = true);
    bool paced() const { return m_heartbeatPeriod.count() > 0; }
    void noteAnswer();
    // A paced heartbeat may sit behind another reader's failing transaction
    // for seconds: that reader tells the loss in its place.
    void noteSilence();

    platform::socket_t m_socket;
    std::unique_ptr<CGigEProtocol> m_protocol;
    std::uint32_t m_regSize = 4;
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_givenUp{false};
    std::atomic<std::uint32_t> m_heartbeatTimeoutMs{3000};
    // Every heartbeat ever started: a reconnect adds one, and each is joined.
    std::vector<std::thread> m_heartbeatThreads;
    std::mutex m_threadsLock;
    std::mutex m_heartbeatLock;
    std::atomic<bool> m_heartbeatRun{true};
    std::chrono::milliseconds m_heartbeatPeriod{0};
    std::atomic<std::chrono::steady_clock::rep> m_lastAnswer{0};  // paced only
    std::mutex m_pauseLock;
    std::condition_variable m_pauseWake;
    mutable std::mutex m_ipLock;
    std::string m_ipAddr;
};
