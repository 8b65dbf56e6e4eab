// The upgrade engine: one job over a table of cameras, with what happens
// told to an observer, a cancellation, and an inactivity deadline. The
// exported CamUpgrade is its one-camera case; the camupgrade command drives
// it directly. Not exported from the shared library.
//
// One job per process at a time: the port-69 file service, the log sink and
// the numbering of unpack folders belong to the process. A runJob called
// while another runs gives every camera Reason::Busy and touches none.
#pragma once

#include "discovery/Discovery.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
    unsigned cameraPollMs = 500; // how often each camera's status register is read (CamUpgrade: 2000)
    // Where each camera's package is unpacked (a private folder is made in
    // it); empty: the system's temporary folder.
    std::string unpackRoot;
    // Receives each status value the job publishes, every poll (CamUpgrade:
    // GetUpdateStatus). Called on the camera's worker thread.
    std::function<void(int)> publishState;
    // End a camera as soon as its verdict is in; false: at the worker's next
    // pass (CamUpgrade's pace).
    bool endOnVerdict = true;
    // A camera that cannot be taken under control is read once more to tell
    // "refused" from "does not answer" (CamUpgrade sends it nothing more).
    bool explainNoControl = true;
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
    Failed,     // the camera or the session failed (reason, state, message say how)
    Refused,    // pre-flight refused: the camera was never commanded
    Cancelled,  // Cancel::request: serving stopped, control released, folder removed
};
// "upgraded", "failed", "refused", "cancelled".
const char* verdictName(Verdict verdict);

// Why a camera did not end upgraded and released; None when it did.
enum class Reason {
    None,
    BadInput,         // an address, the package, or the host address is unusable
    Unreachable,      // the camera does not answer
    ControlDenied,    // another application holds the camera
    PortUnavailable,  // UDP port 69 cannot be bound
    Busy,             // another job runs in this process
    SessionFailed,    // the camera or the session ended in a failed state (see state)
    NoVerdict,        // the session ended without a final state
    NotReleased,      // upgraded, but control could not be given back
    Cancelled,        // Cancel::request
    Internal,         // an exception ended this camera; message is its text
};

struct CameraResult {
    std::string cameraIp;
    std::string name;
    Verdict verdict = Verdict::Failed;
    int state = -1;          // final session state; -1 when none was reached
    Reason reason = Reason::NoVerdict;
    std::string message;     // one sentence for a person
    bool connected = false;  // control was taken
    bool commanded = false;  // the camera was told to upgrade
    bool released = true;    // control was given back (or never taken)
    bool haveBefore = false, haveAfter = false;
    discovery::Identity before, after;
    std::uint64_t bytesServed = 0;
    double seconds = 0;
};

// Receives what happens one call at a time, from one delivery thread the job
// owns (joined before runJob returns), in the order it happened. A slow
// observer delays later calls, never a camera. Calls into the engine from a
// callback are allowed except runJob.
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
// The package is unpacked under options.unpackRoot and removed again.
struct PreflightReport {
    bool ok = false;
    Reason reason = Reason::None;  // BadInput, Unreachable or PortUnavailable when not ok
    std::string message;      // one sentence when not ok
    std::string hostIp;       // the address the camera will fetch from
    std::string layout;       // "single image", "per kind", or "package folder" (fallback)
    discovery::Identity identity;
};
PreflightReport preflight(const CameraTarget& target, const JobOptions& options);

// The project's version, as "0.2.0".
const char* version();

}  // namespace engine
