// Job level: result codes, session states, the progress model and the
// upgrade job behind the exported entry points.
#pragma once

#include <atomic>
#include <cstdint>

// What one status word means to the job.
enum ResProcess : int {
    RES_FAL = 0,
    RES_SUC = 1,
    RES_CONNECTING = 2,
    RES_RUNNING = 4,
    RES_OFFLINE = 100,
};

// Session state: bits 0..7 of a session's status word.
enum UpgradeState : int {
    ST_SUCCESS = 0,
    ST_IP_ERROR = 1,
    ST_CHECK_FAIL = 2,
    ST_DEVICE_ERROR = 3,
    ST_UPGRADING = 4,
    ST_READY = 5,
    ST_CONNECT_FAIL = 6,
    ST_VERSION_MISMATCH = 7,
    ST_TIMEOUT = 8,
    ST_READY_SENDING = 9,
    ST_LINK_LOST = 10,
    ST_FIRMWARE_MISMATCH = 11,
    ST_CONNECTING = 12,
    ST_INNER_ERROR = 13,
    ST_OFFLINE = 14,
};

// Logs the state's message and maps the word to a job result.
ResProcess processRes(std::uint16_t word);
// Logs the message again for the states that repeat it, and returns the
// status value published for GetUpdateStatus.
int getProcessStatus(std::uint16_t word);

// The state's message, or nullptr for states that have none.
const char* stateMessage(std::uint16_t word);

// The progress rule of GetUpdateStatus without its pause: the next progress
// value for the published status and the current progress.
std::uint32_t advanceProgress(std::int32_t status, std::uint32_t progress);

// Shared with the host through GetUpdateStatus; both zero at load.
extern std::atomic<std::int32_t> g_upgradeStatus;
extern std::atomic<std::uint32_t> g_upgradeProgress;
