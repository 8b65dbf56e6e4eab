// The exported entry points' side of the library: the two words they share
// with the host, the job's worker, and the knobs tests and benchmarks give
// the one-camera job.
#pragma once

#include "results.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <vector>

class DevApp;

// Shared with the host through GetUpdateStatus; both zero at load.
extern std::atomic<std::int32_t> g_upgradeStatus;
extern std::atomic<std::uint32_t> g_upgradeProgress;

namespace camjob {

struct JobOptions {
    // A job that shows no sign of progress (no change of state or percent,
    // no block served) for this long ends with ST_TIMEOUT: a camera that
    // never reports or never comes back must not hold the host for ever.
    std::chrono::milliseconds deadline = std::chrono::minutes(15);
    unsigned pollMs = 600;
};

// CamUpgrade with the knobs above.
int CamUpgrade(const char* hostIp, const char* deviceIp, const char* packagePath,
               const JobOptions& options);
inline int runUpgradeJob(const char* hostIp, const char* deviceIp, const char* packagePath,
                         const JobOptions& options) {
    return CamUpgrade(hostIp, deviceIp, packagePath, options);
}

// How the worker's pause between two passes ended.
enum class Pause { Go, TimedOut, Cancelled };

// What the worker needs from the job it runs in.
struct Watch {
    std::chrono::milliseconds period{600};
    bool publish = true;  // store each published status for GetUpdateStatus
    std::function<void(std::uint16_t)> seen;  // every status word the worker reads
    // Waits one period; the job's watch looks at its sessions meanwhile.
    std::function<Pause(std::chrono::milliseconds)> pause;
};

// The worker: polls every session until each has a final result, the watch
// reports a time-out, or the job is cancelled.
int process(std::vector<DevApp*> devices, std::promise<ResProcess>& result, const Watch& watch);

bool initNetResource();
bool deInitNetResource();

// The configuration and banner CamUpgrade starts every job with; true when
// the configuration file was loaded.
bool setUpLogging();
// The line CamUpgrade writes once the camera is under control.
void logConnected();

}  // namespace camjob
