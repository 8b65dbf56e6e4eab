// Session states, their messages and the progress rule. What the job
// logs for them (processRes, getProcessStatus) lives beside the worker.
#include "session/SessionStates.h"

namespace {

constexpr int kLastState = ST_OFFLINE;

const SessionState kStates[kLastState + 1] = {
    {ST_SUCCESS, "Upgrade success...\n", RES_SUC, true, true,
     "the camera reports the upgrade done"},
    {ST_IP_ERROR, "IP eror\n", RES_FAL, true, true, "the camera reports an address error"},
    {ST_CHECK_FAIL, "Check validation fail\n", RES_FAL, true, true,
     "the camera rejected the firmware image (check failed)"},
    {ST_DEVICE_ERROR,
     "Firewall intercepting or device reports error (firmware not matach or other exception).\n",
     RES_FAL, true, true,
     "the camera reports an error (firmware not matching, or a firewall blocked the transfer)"},
    {ST_UPGRADING, "*", RES_RUNNING, true, false,
     "the camera is fetching and flashing the firmware"},
    {ST_READY, "Ready\n", RES_RUNNING, false, false, "ready"},
    {ST_CONNECT_FAIL, "Connect fail\n", RES_FAL, false, true,
     "the camera reports a connection failure"},
    {ST_VERSION_MISMATCH, "Version not match\n", RES_FAL, false, true,
     "the camera refuses this firmware version"},
    {ST_TIMEOUT, "Time out\n", RES_FAL, false, true,
     "timed out: the camera did not accept the upgrade or never gave a verdict"},
    {ST_READY_SENDING, "Ready sending\n", RES_RUNNING, false, false,
     "waiting for the camera to fetch the firmware"},
    {ST_LINK_LOST, "Device lost connection, try resuming...\n", RES_CONNECTING, false, false,
     "the camera is restarting"},
    {ST_FIRMWARE_MISMATCH, "Tools refusing to upgrade because of mismatched firmare.\n", RES_FAL,
     true, true, "the firmware is for another hardware kind of camera"},
    {ST_CONNECTING, "Connecting...\n", RES_CONNECTING, false, false,
     "preparing the firmware package"},
    {ST_INNER_ERROR, "Inner error, Double-click for detail\n", RES_FAL, true, true,
     "internal error while serving the firmware"},
    {ST_OFFLINE, nullptr, RES_OFFLINE, false, false, "the camera is offline"},
};

}  // namespace

const SessionState* sessionState(int value) {
    return value < 0 || value > kLastState ? nullptr : &kStates[value];
}

const SessionState* sessionStates(std::size_t* count) {
    *count = kLastState + 1;
    return kStates;
}

bool sessionEnded(std::uint16_t word) {
    const SessionState* row = sessionState(stateOf(word));
    return row != nullptr && row->final;
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
