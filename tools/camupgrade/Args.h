// The command line of camupgrade: an upgrade (the default), `info` and `list`.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct Options {
    enum class Command { Upgrade, Plan, Info, List, History } command = Command::Upgrade;
    std::vector<std::string> cameras;  // --camera, in the order given
    std::string camerasFile;
    bool all = false;                  // --all --model M
    std::string model;
    std::string interfaceName;
    std::string package;               // for cameras without a package of their own
    std::string host;
    unsigned parallel = 0;
    bool force = false;                // gone: refused with a sentence saying so
    double inactivitySeconds = 900;
    unsigned heartbeatMs = 1000;       // 0: back to back
    double lostAfterSeconds = 60;
    std::string expectVersion;
    bool reinstall = false;
    bool allowOlder = false;
    std::string sha256;                // lower case once parsed
    bool dryRun = false;               // the upgrade's synonym of `plan`
    bool yes = false;                  // --all without asking
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    std::string logPath;               // absolute once parsed
    std::string historyPath;           // absolute once parsed; empty: the default
    bool noHistory = false;
    std::string reportPath;            // absolute once parsed
    unsigned canary = 0;               // 0: no canary
    unsigned stopAfter = 0;            // 0: no limit
    // `history`: its filters (--camera is `cameras`) and --csv.
    std::string serial;
    std::string since;                 // ISO 8601 UTC once parsed
    bool csv = false;
};

// Fills o from the command line. -1 to go on; otherwise the exit code to end
// with at once (after --help, --version, or a bad command line, which is
// explained on stderr).
int parseArguments(int argc, char** argv, Options& o);

}  // namespace cli
