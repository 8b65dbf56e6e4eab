// What a person watching the upgrade sees: one line per camera with its
// phase, the camera's own percent, the transfer and the time since the last
// sign of life. On a terminal the lines form a block redrawn together
// within the terminal's width; otherwise each change is one line prefixed
// with the camera, for logs and CI.
#pragma once

#include "CamerasFile.h"

#include "camupgrade_sdk.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cli {

// The words of one camera's status, without the camera's address. The time
// since the last sign of life is in seconds, or in whole 10 s steps so that a
// line per change does not become a line per second.
std::string statusWords(const camupgrade::Status& status,
                        std::chrono::steady_clock::time_point lastSign,
                        std::chrono::steady_clock::time_point now, bool exactSilence);

// What a camera may be in when the job is cancelled in this phase.
const char* cancelWords(cu_phase phase);

class ProgressView {
public:
    struct Settings {
        std::FILE* out = nullptr;  // nullptr: quiet, only the log sink gets lines
        bool terminal = false;
        bool verbose = false;      // show the library's lines as they are written
        std::function<void(const std::string&)> logSink;  // every library line
    };
    ProgressView(const std::vector<Target>& targets, Settings settings);
    ~ProgressView();

    void onStatus(const camupgrade::Status& status);
    // Written with a UTC time stamp and, when one camera's, its address.
    void onCameraLogLine(const std::string& cameraIp, const std::string& line);
    void onResult(const camupgrade::Result& result);

    // Starts and stops the clock that shows how long a camera has been silent.
    void start();
    void stop();
    // A line of the command's own, shown above the block.
    void note(const std::string& line);
    // One line per camera: what state it may be in if the job stops now.
    std::string cancelReport();

private:
    struct Row {
        camupgrade::Status status;
        std::chrono::steady_clock::time_point lastSign;  // of life; none before the first
        std::string verdict;        // set once the camera's result is in
        // The last phase before releasing: what a cancel left the camera doing.
        cu_phase work = CU_PHASE_QUEUED;
        std::string lastLine;       // last line printed (not on a terminal)
        std::chrono::steady_clock::time_point lastPrinted;
        long silentShown = 0;       // the silence, in 10 s steps, last printed
    };
    Row* rowOf(const std::string& cameraIp);
    std::string rowText(const Row& row, std::chrono::steady_clock::time_point now) const;
    void drawLocked(bool force, bool whole = false);
    void printChangeLocked(Row& row, bool force);
    void clearBlockLocked();
    void tick();

    Settings m_settings;
    std::mutex m_lock;
    std::vector<Row> m_rows;
    std::size_t m_drawnLines = 0;
    std::chrono::steady_clock::time_point m_lastDraw;
    bool m_dirty = false;
    bool m_stopped = false;
    std::size_t m_nameWidth = 0;  // columns of the name, 0 when no camera has one

    std::mutex m_clockLock;
    std::condition_variable m_clockWake;
    bool m_stopClock = false;
    std::thread m_clock;
};

}  // namespace cli
