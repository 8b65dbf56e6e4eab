// The camera's upgrade: fetch the information file and the images from the
// host's file server, check them, "flash", restart and report the verdict in
// the status register; and the restart a host asks for. One job at a time on
// a thread of its own. The transfer faults (data loss, a restart in the middle
// of an image or on the command, the forced verdict) live here.
#pragma once

#include "CameraState.h"
#include "camsim/TftpClient.h"

#include "platform/socket.h"

#include <functional>
#include <random>
#include <string>
#include <thread>

namespace camsim {

class UpgradeWorker {
public:
    explicit UpgradeWorker(CameraState& state);
    ~UpgradeWorker();
    UpgradeWorker(const UpgradeWorker&) = delete;
    UpgradeWorker& operator=(const UpgradeWorker&) = delete;

    bool valid() const { return m_waker.valid(); }
    // Starts what the register model asked for. The previous job has cleared
    // its busy flag, or the model would not have asked: it is returning.
    void launch(const Action& action);
    // Ends a transfer under way and joins the job; the camera is stopping.
    void stop();

private:
    void upgrade(const std::string& server);
    // Silent, control released; true once answering again.
    bool restart();
    void finishJob();
    // Ends an upgrade with a verdict (or the forced one) and frees the camera.
    void verdict(std::uint8_t state, const std::string& why);
    TftpResult fetch(const std::string& server, const std::string& name, std::size_t limit,
                     std::function<bool(std::size_t)> progress, std::size_t expected = 0);

    CameraState& m_state;
    const Config& m_cfg;
    platform::Waker m_waker;  // ends a transfer when the camera stops
    std::thread m_thread;
    std::mt19937 m_rng;       // used by the job only
};

}  // namespace camsim
