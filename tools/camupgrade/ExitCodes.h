// The command's exit codes, and the one place that maps what the library
// reports (verdict, reason, state) to them.
#pragma once

#include "camupgrade_sdk.hpp"

#include <string>
#include <vector>

enum ExitCode : int {
    EXIT_UPGRADED = 0,
    EXIT_NO_VERDICT = 1,        // the job ended without a final state
    EXIT_USAGE = 2,             // bad command line, package or pre-flight refusal
    EXIT_UNREACHABLE = 3,       // camera does not answer or refused control
    EXIT_NO_FILE_SERVICE = 4,   // UDP port 69 could not be bound
    EXIT_NOT_RELEASED = 5,      // camera could not be released at the end
    EXIT_NEWER = 6,             // newer than --expect-version: never commanded
    EXIT_BUSY = 7,              // busy with an earlier upgrade: never commanded
    EXIT_WRONG_VERSION = 8,     // upgraded, but it reports another version than expected
    EXIT_LOST = 9,              // lost during the transfer
    EXIT_STATE_BASE = 10,       // 10 + the failed session state (11..23)
    EXIT_SIGINT = 130,          // cancelled by Ctrl-C
    EXIT_SIGTERM = 143,         // cancelled by SIGTERM
};

namespace cli {

// One camera's exit code; `signal` is the signal that cancelled the run, or 0.
int exitCodeOf(const camupgrade::Result& result, int signal = 0);
// What the upgrade would end with for a camera the plan refuses (0 otherwise).
int exitCodeOf(const camupgrade::Plan& plan);

// The run's: the first camera's failure in the list, or the signal's.
int runExitCode(const std::vector<camupgrade::Result>& results, int signal);

// The table the help text ends with.
std::string exitCodeTable();

}  // namespace cli
