// DevApp: the upgrade session of one camera. Prepares the firmware package,
// puts the camera into upgrade mode, follows its reports and restart, and
// serves the firmware files it requests.
#pragma once

#include "myThread1.h"
#include "platform/socket.h"
#include "upgrade/BlockSender.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gvcp/Registers.h"

class CUdpSocket;
class managerGige;

namespace package {
struct Prepared;
}

class DevApp : public myThread1 {
public:
    DevApp(managerGige* manager, std::string hostIp, std::string deviceIp);
    ~DevApp() override;

    // Upgrade procedure and link supervision.
    bool startUpgrade(std::string packagePath, bool preUpgradeClear);
    void run() override;
    void devLinkNotify();
    void updateProgress();
    std::uint16_t getStatus();
    std::string getDeviceIp();
    // Part of the session's specified interface; the job's flow calls
    // neither: it ends a session by deleting it.
    int forceTerminer();
    int ResetCamera();

    // Firmware file transfer.
    // The datagram's length bounds the requested name.
    void fileRequest(const char* data, std::uint32_t length, std::uint16_t fromPort);
    void sendFile(const char* fileName);
    void sendBlock(std::uint16_t ack);
    void msgProc(const char* data, std::uint32_t length, const char* fromIp, std::uint16_t fromPort);
    void stopSend();

    // What the transfer has served, for progress reports.
    struct Served {
        std::string file;            // the file being (or last) served
        std::uint64_t fileBytes = 0;  // of it, sent so far
        std::uint64_t fileSize = 0;
        std::uint64_t total = 0;      // every file of this session
        bool active = false;          // a transfer runs
        unsigned filesDone = 0;       // transfers the camera acknowledged to the end
        std::chrono::steady_clock::time_point lastDone;
    };
    Served served() const;

    // Camera registers of the vendor upgrade service (gvcp/Registers.h).
    static constexpr std::uint32_t DEV_TYPE_REG = reg::KIND;
    static constexpr std::uint32_t UPGRADE_STATUS_REG = reg::UPGRADE_STATUS;
    static constexpr int BLOCK_SIZE = static_cast<int>(transfer::BLOCK_SIZE);

    // Where the package is unpacked (unpackFolder's root); before startUpgrade.
    void setUnpackRoot(std::string root) { m_unpackRoot = std::move(root); }
    // A package the pre-flight already unpacked for this camera's kind: the
    // session serves it instead of reading the kind and unpacking again.
    void usePrepared(std::unique_ptr<package::Prepared> prepared);

    // Package preparation; public so tests can drive it without a camera.
    void init(const std::string& packagePath);
    std::string fwDir() const;
    const std::string& tmpDir() const { return m_tmpDir; }
    int deviceType() const { return m_deviceType; }

private:
    std::int32_t getDevType();

    std::unique_ptr<CUdpSocket> m_udpSocket;
    transfer::BlockSender m_sender;  // the block numbering and the block in flight
    std::atomic<bool> m_sending{false};
    std::string m_fwDir;             // guarded by m_pathLock once threads run
    std::string m_tmpDir;
    std::string m_unpackRoot;
    std::unique_ptr<package::Prepared> m_prepared;
    sockaddr_in m_peerAddr{};
    std::FILE* m_file = nullptr;
    managerGige* m_manager = nullptr;
    std::thread m_linkThread;
    std::atomic<std::uint16_t> m_upgradeProgress{5};
    std::atomic<bool> m_monitoring{false};
    std::string m_hostIp;
    std::string m_deviceIp;
    std::int32_t m_deviceType = 0;
    bool m_preUpgradeClear = true;
    std::atomic<std::int32_t> m_fileResult{0};
    mutable std::mutex m_pathLock;   // m_fwDir: written by run, read by the transfer

    // Starts devLinkNotify on m_linkThread; false when no thread can be
    // created. Virtual so that a test can refuse it.
    virtual bool startLinkThread();
    std::atomic<bool> m_linkStop{false};  // ends devLinkNotify's waits

    // Keeps the transfer entries of this session from running at the same
    // time. Recursive because stopSend runs inside msgProc and sendBlock.
    // msgProc only tries it, so that a late acknowledgement can give up while
    // its transfer is being ended and its receive thread joined.
    std::recursive_mutex m_transferLock;
    // Does what the block sender decided: sends, logs, ends the transfer.
    void carryOut(transfer::Step step);
    void sendNext();
    int sendPacket();
    void countFinished();
    mutable std::mutex m_servedLock;
    Served m_served;
};
