// The upgrade engine: one job over a table of cameras, with what happens
// told to an observer, a cancellation, and an inactivity deadline. The
// exported CamUpgrade is its one-camera case; the camupgrade command drives
// it directly. Not exported from the shared library.
#pragma once

#include "discovery/Discovery.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace engine {

// Where one camera's upgrade stands, as the host sees it.
enum class Phase {
    Queued,      // waiting for a free slot (JobOptions::parallel)
    Checking,    // pre-flight: package, camera kind, host address, port 69
    Connecting,  // taking control of the camera
    Preparing,   // unpacking the package
    Waiting,     // commanded; the camera has not fetched anything yet
    Transfer,    // the camera is fetching its files
    Flashing,    // every file served; the camera writes its flash
    Restarting,  // the camera left the network while upgrading: do not power it off
    BackOnline,  // the camera is back; waiting for its final report
    Releasing,   // giving control back, removing the unpack folder
    Done,
};
// "queued", "checking", ..., "back online", "done".
const char* phaseName(Phase phase);

struct CameraTarget {
    std::string cameraIp;
    std::string package;  // the firmware package (archive) for this camera
    std::string name;     // a label of the user's; may be empty
};

// How the job logs. Specified: CamUpgrade's way (SDKLOG_default.properties
// from the current folder, else the default console configuration).
// SinkOnly: lines go to Observer::onLogLine and nowhere else.
enum class Logging { Specified, SinkOnly };

struct JobOptions {
    std::string hostIp;  // this host's address for the cameras; empty: the route's source to each camera
    // Ends a camera's upgrade with "Time out" (state 8) after this long
    // without any change of state, percent or transfer.
    std::chrono::milliseconds inactivity = std::chrono::minutes(15);
    unsigned parallel = 0;       // cameras upgraded at once; 0 = all
    bool preflight = true;       // check everything before the camera is commanded
    // Serve the package's own folder when its layout is not recognised. Only
    // the pre-flight can refuse it: without one the session falls back.
    bool allowFallback = false;
    bool readIdentity = true;    // bootstrap registers before and after
    Logging logging = Logging::SinkOnly;
    unsigned pollMs = 600;       // how often the job looks at each session
    bool publishStatus = false;  // CamUpgrade's way: each poll's status goes to GetUpdateStatus
    unsigned cameraPollMs = 500; // how often each camera's status register is read (CamUpgrade: 2000)
    // Pause between two answered heartbeat reads; 0 reads back to back
    // (CamUpgrade). One read a second keeps control well inside the 3000 ms
    // heartbeat timeout the job writes to each camera, even when a read needs
    // its one-second retry, and spares the camera's processor and the line.
    unsigned heartbeatMs = 1000;
};

// A camera's status, sent to the observer on every change.
struct CameraStatus {
    std::string cameraIp;
    std::string name;
    Phase phase = Phase::Queued;
    int state = -1;                 // session state (status word bits 0-7); -1 before the first
    int percent = 0;                // the camera's own percent (status word bits 8-15)
    bool linkUp = false;            // control channel answering
    std::string file;               // file being served; empty when none
    std::uint64_t fileBytes = 0;    // of it served so far
    std::uint64_t fileSize = 0;     // its size; 0 when unknown
    std::uint64_t bytesServed = 0;  // every file so far
    double bytesPerSecond = 0;      // recent transfer rate
    std::chrono::steady_clock::time_point lastSign;  // last change of state, percent or transfer
};

enum class Verdict {
    Upgraded,
    Failed,     // the camera or the session failed (message, state, exit code say how)
    Refused,    // pre-flight refused: the camera was never commanded
    Cancelled,  // Cancel::request: serving stopped, control released, folder removed
                // (exit code EXIT_SIGINT; a command cancelled by SIGTERM says 143)
};
// "upgraded", "failed", "refused", "cancelled".
const char* verdictName(Verdict verdict);

struct CameraResult {
    std::string cameraIp;
    std::string name;
    Verdict verdict = Verdict::Failed;
    int state = -1;          // final session state; -1 when none was reached
    int exitCode = 1;        // the command's exit code for this camera (results.h)
    std::string message;     // one sentence for a person
    bool connected = false;  // control was taken
    bool commanded = false;  // the camera was told to upgrade
    bool released = true;    // control was given back (or never taken)
    bool haveBefore = false, haveAfter = false;
    discovery::Identity before, after;
    std::uint64_t bytesServed = 0;
    double seconds = 0;
};

// Receives what happens, from the engine's threads, one call at a time.
class Observer {
public:
    virtual ~Observer() = default;
    virtual void onStatus(const CameraStatus& /*status*/) {}
    // A line the library logs, as it is written, without its line end.
    virtual void onLogLine(const std::string& /*line*/) {}
    virtual void onResult(const CameraResult& /*result*/) {}
};

// Asked from any thread (not from a signal handler: it takes a lock);
// every wait of a job that holds it wakes at once.
class Cancel {
public:
    void request();
    bool requested() const;
    // Waits up to `timeout`; true when cancellation was requested.
    bool waitFor(std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_wake;
    bool m_requested = false;
};

// Runs the job: one port-69 service, and per camera a control channel and a
// session, at most `parallel` cameras at once. One result per target, in the
// targets' order. The observer and the cancel may be null.
std::vector<CameraResult> runJob(const std::vector<CameraTarget>& targets,
                                 const JobOptions& options, Observer* observer = nullptr,
                                 const Cancel* cancel = nullptr);

// Pre-flight for one camera without commanding it: the package opens and its
// layout is recognised, the camera answers and its kind has a folder with an
// information file, the host address is this machine's, port 69 is free.
struct PreflightReport {
    bool ok = false;
    int exitCode = 0;         // EXIT_USAGE, or EXIT_UNREACHABLE when the camera does not answer
    std::string message;      // one sentence when not ok
    std::string hostIp;       // the address the camera will fetch from
    std::string layout;       // "single image", "per kind", or "package folder" (fallback)
    discovery::Identity identity;
};
PreflightReport preflight(const CameraTarget& target, const JobOptions& options);

// The project's version, as "0.2.0".
const char* version();

}  // namespace engine
