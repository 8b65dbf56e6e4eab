// Session states and what each one means, in one table: the library's
// message, the job result, whether the message is logged twice, whether the
// session is over, and the words a person is shown for it.
#pragma once

#include <cstddef>
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

// Bits 0..7 and 8..15 of a status word.
inline int stateOf(std::uint16_t word) { return word & 0xFF; }
inline int percentOf(std::uint16_t word) { return word >> 8; }

// Whether the session is over once its status word says this: the table's
// `final` column, the one rule every part of the job uses.
bool sessionEnded(std::uint16_t word);


// The progress rule of GetUpdateStatus without its pause: the next progress
// value for the published status and the current progress.
std::uint32_t advanceProgress(std::int32_t status, std::uint32_t progress);

struct SessionState {
    int value;
    const char* message;  // as the library logs it (spelling kept), or nullptr
    ResProcess result;
    bool repeated;        // logged again by getProcessStatus
    bool final;           // the session is over in this state
    const char* words;    // what the command line says
};

// The row of a state (bits 0..7 of a status word), or nullptr beyond the table.
const SessionState* sessionState(int value);
// Every row, in state order; *count receives their number.
const SessionState* sessionStates(std::size_t* count);
