// Session states and what each one means, in one table: the library's
// message, the job result, whether the message is logged twice, and the
// words and exit code the command line shows for it. The library's log and
// the command's verdicts both read it, so they cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// Logs the state's message and maps the word to a job result (main.cpp).
ResProcess processRes(std::uint16_t word);
// Logs the message again for the states that repeat it, and returns the
// status value published for GetUpdateStatus.
int getProcessStatus(std::uint16_t word);

// The state's message, or nullptr for states that have none.
const char* stateMessage(std::uint16_t word);

// The progress rule of GetUpdateStatus without its pause: the next progress
// value for the published status and the current progress.
std::uint32_t advanceProgress(std::int32_t status, std::uint32_t progress);

// Exit codes of the camupgrade command besides 10 + a failed state.
enum ExitCode : int {
    EXIT_UPGRADED = 0,
    EXIT_NO_VERDICT = 1,        // the job ended without a final state
    EXIT_USAGE = 2,             // bad command line, package or pre-flight refusal
    EXIT_UNREACHABLE = 3,       // camera does not answer or refused control
    EXIT_NO_FILE_SERVICE = 4,   // UDP port 69 could not be bound
    EXIT_NOT_RELEASED = 5,      // camera could not be released at the end
    EXIT_STATE_BASE = 10,       // 10 + the failed session state (11..23)
    EXIT_SIGINT = 130,          // cancelled by Ctrl-C
    EXIT_SIGTERM = 143,         // cancelled by SIGTERM
};

struct SessionState {
    int value;
    const char* message;  // as the library logs it (spelling kept), or nullptr
    ResProcess result;
    bool repeated;        // logged again by getProcessStatus
    bool final;           // the session is over in this state
    const char* words;    // what the command line says
    int exitCode;         // the command's exit code when the job ends here
};

// The row of a state (bits 0..7 of a status word), or nullptr beyond the table.
const SessionState* sessionState(int value);
// Every row, in state order; *count receives their number.
const SessionState* sessionStates(std::size_t* count);
// The state whose library message the log line carries, or -1.
int stateOfLogLine(const std::string& line);
