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
    Lost,        // silent before all its files were served: not restarting
    Flashing,    // every file served; the camera writes its flash
    Restarting,  // the camera left the network while upgrading: do not power it off
    BackOnline,  // the camera is back; waiting for its final report
    Releasing,   // giving control back, removing the unpack folder
    Done,
};
// "queued", "checking", ..., "back online", "done".
const char* phaseName(Phase phase);
// "during the transfer", "while the camera restarted": when something happened.
const char* phaseDuring(Phase phase);

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
    // Check everything before the camera is commanded (the plan); without
    // it, the session does as CamUpgrade specifies, fallbacks included.
    bool preflight = true;
    // The version guard, with a pre-flight: a camera at this version is
    // skipped (Verdict::Current) unless `reinstall`, a newer one refused
    // unless `allowOlder`, and after an upgrade the camera must report it.
    std::string expectVersion;
    bool reinstall = false;
    bool allowOlder = false;
    // The package's SHA-256 (64 hex digits); any other package is refused
    // before the camera is read. Empty: not checked.
    std::string sha256;
    // A camera silent this long before all its files were served ends as
    // lost during the transfer; 0: it waits for the inactivity limit.
    std::chrono::milliseconds lostAfter = std::chrono::seconds(60);
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
    // A brake for a line. The first `canary` cameras (in the targets' order)
    // go first; the others start only once every one of them upgraded.
    // After `stopAfter` cameras failed or were refused no further camera
    // starts. Cameras held back end as NotStarted, never commanded. 0: off.
    unsigned canary = 0;
    unsigned stopAfter = 0;
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
    Failed,     // commanded and not upgraded (reason, state, message say how)
    Refused,    // never commanded, whatever the reason (a camera denying control included)
    Current,    // already at the expected version: skipped, never commanded
    Cancelled,  // Cancel::request: serving stopped, control released, folder removed
                // (exit code EXIT_SIGINT; a command cancelled by SIGTERM says 143)
    NotStarted, // held back by JobOptions::canary or stopAfter: never commanded
};
// "upgraded", "failed", "refused", "current", "cancelled", "not started".
const char* verdictName(Verdict verdict);

// Why a camera did not end upgraded (or current) and released; None when it did.
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
    CameraBusy,       // busy with an earlier upgrade: refused before it was commanded
    Newer,            // newer than the expected version: refused
    WrongVersion,     // upgraded, but it reports another version than the expected one
    Lost,             // silent before all its files were served, for JobOptions::lostAfter
    HeldBack,         // JobOptions::canary or stopAfter kept it from starting
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
    bool downgraded = false;  // the version after is older than the one before
    std::uint64_t bytesServed = 0;
    double seconds = 0;
    std::string hostIp;  // the address the camera fetched from; empty when not checked
    std::string layout;  // the package's layout (PreflightReport::layout) when checked
    std::chrono::system_clock::time_point started, ended;  // wall clock, for records
};

// Receives what happens one call at a time, from one delivery thread the job
// owns (joined before runJob returns), in the order it happened. A slow
// observer delays later calls, never a camera, and what waits for it stays
// bounded: a camera's status still waiting when a newer one of the same
// phase and state comes, with nothing else of that camera in between, is
// replaced by the newer one in its place (so each camera's calls keep their
// order; across cameras that status comes as early as the one it replaced),
// and log lines beyond a few thousand waiting are dropped and told in one
// line, "… N log lines dropped: the observer fell behind". Changes of phase
// or state and results always arrive. Calls into the engine from a callback
// are allowed except runJob.
class Observer {
public:
    virtual ~Observer() = default;
    virtual void onStatus(const CameraStatus& /*status*/) {}
    // A line the library logs, as it is written, without its line end.
    virtual void onLogLine(const std::string& /*line*/) {}
    // The same line with the camera it belongs to (empty when it belongs to
    // none or cannot be told); by default it goes to onLogLine.
    virtual void onCameraLogLine(const std::string& /*cameraIp*/, const std::string& line) {
        onLogLine(line);
    }
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

// How two version texts compare as dotted numbers ("2.10" is newer than
// "2.9", "2.1" equals "2.1.0"). Texts that do not parse are Same only when
// identical, and Unordered otherwise: never older or newer.
enum class Order { Older, Same, Newer, Unordered };
Order compareVersions(const std::string& version, const std::string& reference);
// The text is dotted numbers ("2.1.0").
bool isDottedVersion(const std::string& text);

// What the job would do with a camera, decided before it is commanded.
enum class Action {
    Upgrade,
    SkipCurrent,  // at the expected version already
    Refuse,       // message and reason say why
};

struct ServedFile {
    std::string name;
    std::uint64_t size = 0;
};

// The plan of one camera: what was read (never written) from the camera
// and the package, and what would happen. Control is never taken, nothing
// is written to the camera, nothing stays unpacked.
struct CameraPlan {
    bool ok = false;          // action == Upgrade
    Action action = Action::Refuse;
    Reason reason = Reason::None;
    std::string message;      // one sentence when not ok
    std::string cameraIp, name;
    std::string hostIp;       // the address the camera will fetch from
    bool answered = false;    // the camera answered its kind register
    bool haveIdentity = false;
    discovery::Identity identity;
    bool statusRead = false;  // the status register answered
    bool busy = false;        // it reports state 4 (working)
    int state = -1, percent = 0;
    std::string package;      // path as given to the job
    bool packageIsFolder = false;
    std::uint64_t packageSize = 0;  // bytes of the file; of every file for a folder
    std::string sha256;       // of the package file; empty for a folder or unread
    std::string layout;       // "single image", "per kind", or "package folder" (unusable)
    std::string folder;       // what the camera's kind gets: "top level" or the chosen entry
    std::vector<ServedFile> files;  // what would be served, in name order
    std::string expectVersion;
};
using PreflightReport = CameraPlan;
PreflightReport preflight(const CameraTarget& target, const JobOptions& options);

// The plan of every camera, in the targets' order.
std::vector<CameraPlan> plan(const std::vector<CameraTarget>& targets, const JobOptions& options);

// The camera's status register, read without control: state (bits 0-7) and
// percent (bits 8-15). False when it does not answer.
bool readStatus(const std::string& cameraIp, int* state, int* percent);

// The project's version, as "0.2.0".
const char* version();

}  // namespace engine
