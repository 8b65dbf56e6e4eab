// A simulated GigE Vision camera with the vendor upgrade service, to run
// inside a test or behind the camsim command line.
//
//   camsim::Config cfg;
//   cfg.ip = "127.0.0.2";
//   camsim::Camera cam(cfg);
//   if (!cam.start(&error)) ...;
//   cam.waitFor([](const camsim::Snapshot& s) { return s.state == 0; }, 10000);
//   cam.stop();   // also done by the destructor
//
// One thread answers GVCP, one answers discovery broadcasts; one worker
// thread at a time runs an upgrade or a restart. stop() wakes and joins them
// all and closes every socket.
#pragma once

#include "camsim/Event.h"
#include "camsim/RegisterModel.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace camsim {

// GVCP command codes, as the pending-acknowledge knob selects them.
constexpr std::uint16_t CMD_READREG = 0x0080;
constexpr std::uint16_t CMD_WRITEREG = 0x0082;
constexpr std::uint16_t CMD_READMEM = 0x0084;
constexpr std::uint16_t CMD_WRITEMEM = 0x0086;

enum class AckFault {
    NONE,
    STALE,      // the previous acknowledge goes out again before the right one
    DUPLICATE,  // every acknowledge goes out twice
};

struct Config {
    // Identity and addresses.
    std::string ip = "127.0.0.2";
    std::uint16_t gvcpPort = 3956;
    int kind = 0;                    // hardware kind: 0 or 1
    std::uint32_t kindRegister = 0;  // device-kind register; 0 = 0x2A5 for kind 0, 0x1A4 for kind 1
    std::string manufacturer = "CamSim";
    std::string model = "CS-GE-1";
    std::string serial;              // empty: derived from the address
    std::string userName;
    std::string firmwareVersion = "1.0.0";

    // Upgrade service.
    std::string infoFile = "gige_ip_core_app_upd.info";  // first file requested
    std::uint16_t tftpPort = 69;     // the file server's port
    int tftpTimeoutMs = 1000;        // re-send the last acknowledgement after this
    int tftpRetries = 5;
    std::size_t maxImageBytes = 64u << 20;  // larger images are refused (state 3)
    std::string minVersion;          // older packages are refused (state 7); empty accepts all
    int flashMs = 3000;              // "flashing" after the fetch, percent 50 -> 100
    int restartMs = 3000;            // silence of a restart
    bool restartAfterUpgrade = true;

    // Faults.
    double gvcpLoss = 0;             // probability to drop an incoming GVCP request
    double dataLoss = 0;             // probability to drop an incoming TFTP data block
    int replyLatencyMs = 0;          // delay before every acknowledge
    std::set<std::uint16_t> pendingCommands;  // CMD_... answered first with a pending acknowledge
    int pendingMs = 2000;            // time to completion announced in the pending acknowledge
    int pendingDelayMs = -1;         // actual delay before the real acknowledge; -1 = pendingMs / 2
    AckFault ackFault = AckFault::NONE;
    bool refuseControl = false;      // every control request gets access denied
    bool neverReturn = false;        // silent for good after a restart
    int forceState = -1;             // 0..255: final state reported instead of the real verdict
    bool restartMidTransfer = false; // restart halfway through the first image, then fetch it again
    bool restartOnCommand = false;   // restart as soon as the upgrade command came, then upgrade
    // 0..255: the status register reads this verdict of an earlier upgrade
    // (percent 100) from the start until the pre-upgrade clear.
    int staleState = -1;
    // Ends a file only at a block shorter than 512 bytes, never at the size the
    // information file announced: a host that sends no empty last block
    // leaves it waiting on a file whose size is a multiple of 512.
    bool endOnShortBlockOnly = false;
    std::uint32_t seed = 0;          // for the loss knobs; 0 = random

    // Events above this level are not even produced (2 = every request).
    int eventLevel = 1;
};

// A camera that flashes and restarts at once and reports no events: a whole
// upgrade in the time of its transfer, for tests and benchmarks.
inline Config instantCamera(const std::string& ip) {
    Config c;
    c.ip = ip;
    c.flashMs = 0;
    c.restartMs = 0;
    c.eventLevel = 0;
    return c;
}

struct FetchedFile {
    std::string name;
    std::size_t size = 0;
    std::string sha256;
    bool verified = false;   // size and digest as the information file says
    unsigned resends = 0;    // acknowledgements or requests sent again
};

struct Snapshot {
    bool running = false;
    bool answering = false;  // false while restarting
    bool controlled = false;
    std::string controller;  // "ip:port" of the controlling application
    std::uint32_t ccp = 0;
    std::uint32_t heartbeatMs = 0;
    std::uint8_t state = 0;  // status register bits 0-7
    std::uint8_t percent = 0;
    bool busy = false;       // an upgrade or restart is under way
    std::string fileServer;
    std::string firmwareVersion;
    std::string packageVersion;  // version of the last information file read
    unsigned upgradeCommands = 0;
    unsigned restarts = 0;
    unsigned requests = 0;         // GVCP requests received
    unsigned requestsOutsideFetch = 0;  // of them, while no file was being fetched
    double requestSeconds = 0;     // from the first request to the last
    double fetchSeconds = 0;       // spent fetching files
    unsigned droppedRequests = 0;  // by gvcp-loss or while restarting
    unsigned droppedBlocks = 0;    // by data-loss
    std::vector<FetchedFile> files;  // of the current or last upgrade
    std::vector<std::uint16_t> stateHistory;  // every status word reported, in order
};

class Camera {
public:
    explicit Camera(Config cfg);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Receives every event of the camera's level, from the camera's threads;
    // set before start(). The handler must not call back into the camera.
    void setEventHandler(std::function<void(const Event&)> handler);

    // Binds <ip>:<gvcpPort> and starts answering. False with a reason when
    // the configuration is invalid or the bind fails. A camera starts once.
    bool start(std::string* error = nullptr);
    // Stops answering, ends any upgrade, joins every thread. Idempotent.
    void stop();

    const Config& config() const { return m_cfg; }
    Snapshot snapshot() const;
    // The last events (at most 4096), oldest first.
    std::vector<Event> events() const;
    // Polls the snapshot until pred holds; false after timeoutMs.
    bool waitFor(const std::function<bool(const Snapshot&)>& pred, int timeoutMs) const;

private:
    struct Impl;
    Config m_cfg;
    std::unique_ptr<Impl> m;
};

// Checks a configuration; empty when it is usable.
std::string validate(const Config& cfg);

}  // namespace camsim
