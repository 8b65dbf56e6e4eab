// What the command makes of a finished job: the library's return value and
// the lines it logged are all a host application gets.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Exit codes of the camupgrade command (documented in --help and README).
enum ExitCode : int {
    EXIT_UPGRADED = 0,
    EXIT_NO_VERDICT = 1,        // the job ended without a final state
    EXIT_USAGE = 2,             // bad command line or unusable package
    EXIT_UNREACHABLE = 3,       // camera not reachable or control refused
    EXIT_NO_FILE_SERVICE = 4,   // UDP port 69 could not be bound
    EXIT_NOT_RELEASED = 5,      // camera could not be released at the end
    EXIT_NO_LIBRARY = 6,        // libcamupgrade could not be loaded
    EXIT_STATE_BASE = 10,       // 10 + the failed session state (11..23)
};

struct Verdict {
    int exitCode = EXIT_NO_VERDICT;
    int state = -1;             // final session state seen, -1 if none
    std::string words;          // one sentence for the user
};

// Session state whose message the line carries, or -1.
int stateOfLine(const std::string& line);
// A short description of a (possibly non-final) state for the progress line.
const char* stateWords(int state);

// The verdict from CamUpgrade's result and the lines it logged.
Verdict judge(int result, const std::vector<std::string>& lines);

// The table of exit codes, for --help.
std::string exitCodeTable();

}  // namespace cli
