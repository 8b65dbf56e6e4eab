// Session states, their messages and the progress rule. What the job
// logs for them (processRes, getProcessStatus) lives beside the job in main.cpp.
#include "results.h"

namespace {

constexpr int kLastState = ST_OFFLINE;

constexpr int failedWith(int state) { return EXIT_STATE_BASE + state; }

const SessionState kStates[kLastState + 1] = {
    {ST_SUCCESS, "Upgrade success...\n", RES_SUC, true, true,
     "the camera reports the upgrade done", EXIT_UPGRADED},
    {ST_IP_ERROR, "IP eror\n", RES_FAL, true, true, "the camera reports an address error",
     failedWith(ST_IP_ERROR)},
    {ST_CHECK_FAIL, "Check validation fail\n", RES_FAL, true, true,
     "the camera rejected the firmware image (check failed)", failedWith(ST_CHECK_FAIL)},
    {ST_DEVICE_ERROR,
     "Firewall intercepting or device reports error (firmware not matach or other exception).\n",
     RES_FAL, true, true,
     "the camera reports an error (firmware not matching, or a firewall blocked the transfer)",
     failedWith(ST_DEVICE_ERROR)},
    {ST_UPGRADING, "*", RES_RUNNING, true, false,
     "the camera is fetching and flashing the firmware", EXIT_NO_VERDICT},
    {ST_READY, "Ready\n", RES_RUNNING, false, false, "ready", EXIT_NO_VERDICT},
    {ST_CONNECT_FAIL, "Connect fail\n", RES_FAL, false, true,
     "the camera reports a connection failure", failedWith(ST_CONNECT_FAIL)},
    {ST_VERSION_MISMATCH, "Version not match\n", RES_FAL, false, true,
     "the camera refuses this firmware version", failedWith(ST_VERSION_MISMATCH)},
    {ST_TIMEOUT, "Time out\n", RES_FAL, false, true,
     "timed out: the camera did not accept the upgrade or never gave a verdict",
     failedWith(ST_TIMEOUT)},
    {ST_READY_SENDING, "Ready sending\n", RES_RUNNING, false, false,
     "waiting for the camera to fetch the firmware", EXIT_NO_VERDICT},
    {ST_LINK_LOST, "Device lost connection, try resuming...\n", RES_CONNECTING, false, false,
     "the camera is restarting", EXIT_NO_VERDICT},
    {ST_FIRMWARE_MISMATCH, "Tools refusing to upgrade because of mismatched firmare.\n", RES_FAL,
     true, true, "the firmware is for another hardware kind of camera", failedWith(ST_FIRMWARE_MISMATCH)},
    {ST_CONNECTING, "Connecting...\n", RES_CONNECTING, false, false,
     "preparing the firmware package", EXIT_NO_VERDICT},
    {ST_INNER_ERROR, "Inner error, Double-click for detail\n", RES_FAL, true, true,
     "internal error while serving the firmware", failedWith(ST_INNER_ERROR)},
    {ST_OFFLINE, nullptr, RES_OFFLINE, false, false, "the camera is offline", EXIT_NO_VERDICT},
};

int stateOf(std::uint16_t word) { return word & 0xFF; }

}  // namespace

const SessionState* sessionState(int value) {
    return value < 0 || value > kLastState ? nullptr : &kStates[value];
}

const SessionState* sessionStates(std::size_t* count) {
    *count = kLastState + 1;
    return kStates;
}

// A message is the whole rest of its log line, after the "] " that closes
// the prefix: "Ready" must not be taken for "Ready sending".
int stateOfLogLine(const std::string& line) {
    std::string::size_type end = line.find_last_not_of("\r\n \t");
    std::string trimmed = end == std::string::npos ? std::string() : line.substr(0, end + 1);
    for (const SessionState& row : kStates) {
        if (row.message == nullptr)
            continue;
        std::string text = std::string("] ") + row.message;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        if (trimmed.size() >= text.size() &&
            trimmed.compare(trimmed.size() - text.size(), text.size(), text) == 0)
            return row.value;
    }
    return -1;
}

const char* stateMessage(std::uint16_t word) {
    int s = stateOf(word);
    return s > kLastState ? nullptr : kStates[s].message;
}

std::uint32_t advanceProgress(std::int32_t status, std::uint32_t progress) {
    switch (status) {
    case ST_UPGRADING:
        return progress <= 50 ? progress + 5 : progress;
    case ST_OFFLINE:
        return progress <= 80 ? progress + 5 : progress;
    case ST_SUCCESS:
        return 100;
    default:
        return progress + 5 >= 100 ? 100 : progress + 5;
    }
}
