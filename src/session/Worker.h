// The job's worker and the set-up every job starts with: network start-up,
// the logging configuration and the lines CamUpgrade's log is known by.
#pragma once

#include "session/SessionStates.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>

// Logs the state's message and maps the word to a job result.
ResProcess processRes(std::uint16_t word);
// Logs the message again for the states that repeat it, and returns the
// status value published for GetUpdateStatus.
int getProcessStatus(std::uint16_t word);

namespace camjob {

// How the worker's pause between two passes ended.
enum class Pause { Go, TimedOut, Cancelled };

// What the worker needs from the job it runs in.
struct Watch {
    std::chrono::milliseconds period{600};
    std::function<void(int)> publish;         // each status value published (GetUpdateStatus)
    std::function<void(std::uint16_t)> seen;  // every status word the worker reads
    // Waits one period; the job's watch looks at its session meanwhile.
    std::function<Pause(std::chrono::milliseconds)> pause;
};

// The worker: polls the session's status word (`status`, the session's
// getStatus) until it has a final result, the watch reports a time-out, or
// the job is cancelled.
int process(const std::function<std::uint16_t()>& status, std::promise<ResProcess>& result,
            const Watch& watch);

bool initNetResource();
bool deInitNetResource();

// The configuration and banner CamUpgrade starts every job with; true when
// the configuration file was loaded.
bool setUpLogging();
// The line CamUpgrade writes once the camera is under control.
void logConnected();

}  // namespace camjob
