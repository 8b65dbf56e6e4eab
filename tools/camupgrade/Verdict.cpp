#include "Verdict.h"

#include <cstdio>

namespace cli {

namespace {

struct StateText {
    int state;
    const char* logged;  // message the library logs for the state
    const char* words;
    bool atEnd;          // the message is the whole rest of the line
};

// Message fragments as the library logs them, spelling included.
const StateText kStates[] = {
    {0, "Upgrade success...", "the camera reports the upgrade done", false},
    {1, "IP eror", "the camera reports an address error", false},
    {2, "Check validation fail", "the camera rejected the firmware image (check failed)", false},
    {3, "Firewall intercepting or device reports error",
     "the camera reports an error (firmware not matching, or a firewall blocked the transfer)", false},
    {4, "] *", "the camera is fetching and flashing the firmware", true},
    {5, "] Ready", "ready", true},
    {6, "Connect fail", "the camera reports a connection failure", false},
    {7, "Version not match", "the camera refuses this firmware version", false},
    {8, "Time out", "timed out: the camera did not accept the upgrade or never gave a verdict", false},
    {9, "Ready sending", "waiting for the camera to fetch the firmware", false},
    {10, "Device lost connection", "the camera is restarting", false},
    {11, "Tools refusing to upgrade because of mismatched firmare",
     "the firmware is for another camera model", false},
    {12, "Connecting...", "preparing the firmware package", false},
    {13, "Inner error, Double-click for detail", "internal error while serving the firmware", false},
};

bool isFinal(int state) {
    return state == 0 || state == 1 || state == 2 || state == 3 || state == 6 || state == 7 ||
           state == 8 || state == 11 || state == 13;
}

bool contains(const std::vector<std::string>& lines, const char* text) {
    for (const auto& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

bool endsWith(const std::string& line, const std::string& tail) {
    return line.size() >= tail.size() &&
           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int stateOfLine(const std::string& line) {
    for (const auto& s : kStates) {
        bool hit = s.atEnd ? endsWith(line, s.logged) : line.find(s.logged) != std::string::npos;
        if (hit)
            return s.state;
    }
    return -1;
}

const char* stateWords(int state) {
    for (const auto& s : kStates)
        if (s.state == state)
            return s.words;
    return state == 14 ? "the camera is offline" : "working";
}

Verdict judge(int result, const std::vector<std::string>& lines) {
    Verdict v;
    for (const auto& line : lines) {
        int s = stateOfLine(line);
        if (s >= 0 && isFinal(s))
            v.state = s;
    }
    if (result == 0 && !contains(lines, "connect succeed")) {
        v.exitCode = EXIT_UNREACHABLE;
        v.words = "camera not reachable, or it refused control (is another program controlling it?)";
        return v;
    }
    if (result == 0 && contains(lines, "udp bind failed")) {
        v.exitCode = EXIT_NO_FILE_SERVICE;
        v.words = "the file service could not bind UDP port 69";
        return v;
    }
    if (v.state < 0) {
        v.words = "the job ended without a verdict from the camera";
    } else {
        v.exitCode = v.state == 0 ? EXIT_UPGRADED : EXIT_STATE_BASE + v.state;
        v.words = stateWords(v.state);
    }
    if (result == 0) {
        v.exitCode = EXIT_NOT_RELEASED;
        v.words += "; the camera could not be released afterwards";
    }
    return v;
}

std::string exitCodeTable() {
    std::string t =
        "Exit codes:\n"
        "   0  upgrade done\n"
        "   1  the job ended without a verdict\n"
        "   2  bad command line or package\n"
        "   3  camera not reachable or control refused\n"
        "   4  UDP port 69 could not be bound\n"
        "   5  camera could not be released at the end\n"
        "   6  the library could not be loaded\n";
    char row[160];
    for (const auto& s : kStates) {
        if (!isFinal(s.state) || s.state == 0)
            continue;
        std::snprintf(row, sizeof row, "  %2d  %s\n", EXIT_STATE_BASE + s.state, s.words);
        t += row;
    }
    return t;
}

}  // namespace cli
