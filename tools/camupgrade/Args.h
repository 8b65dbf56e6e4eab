// The command line of camupgrade: an upgrade (the default), `info` and `list`.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct Options {
    enum class Command { Upgrade, Plan, Info, List } command = Command::Upgrade;
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
};

// Fills o from the command line. -1 to go on; otherwise the exit code to end
// with at once (after --help, --version, or a bad command line, which is
// explained on stderr).
int parseArguments(int argc, char** argv, Options& o);

}  // namespace cli
