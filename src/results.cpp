// Session states, their messages and the progress rule.
#include "main.h"

#include "printfColor.h"

namespace {

struct StateRow {
    const char* message;
    ResProcess result;
    bool repeated;  // logged again by getProcessStatus
};

constexpr int kLastState = ST_OFFLINE;

const StateRow kStates[kLastState + 1] = {
    {"Upgrade success...\n", RES_SUC, true},
    {"IP eror\n", RES_FAL, true},
    {"Check validation fail\n", RES_FAL, true},
    {"Firewall intercepting or device reports error (firmware not matach or other exception).\n",
     RES_FAL, true},
    {"*", RES_RUNNING, true},
    {"Ready\n", RES_RUNNING, false},
    {"Connect fail\n", RES_FAL, false},
    {"Version not match\n", RES_FAL, false},
    {"Time out\n", RES_FAL, false},
    {"Ready sending\n", RES_RUNNING, false},
    {"Device lost connection, try resuming...\n", RES_CONNECTING, false},
    {"Tools refusing to upgrade because of mismatched firmare.\n", RES_FAL, true},
    {"Connecting...\n", RES_CONNECTING, false},
    {"Inner error, Double-click for detail\n", RES_FAL, true},
    {nullptr, RES_OFFLINE, false},
};

int stateOf(std::uint16_t word) { return word & 0xFF; }

}  // namespace

const char* stateMessage(std::uint16_t word) {
    int s = stateOf(word);
    return s > kLastState ? nullptr : kStates[s].message;
}

ResProcess processRes(std::uint16_t word) {
    int s = stateOf(word);
    if (s > kLastState)
        return RES_CONNECTING;
    if (kStates[s].message != nullptr)
        LOG_LINE("%s", kStates[s].message);
    return kStates[s].result;
}

int getProcessStatus(std::uint16_t word) {
    int s = stateOf(word);
    if (s > kLastState)
        return ST_UPGRADING;
    if (kStates[s].repeated)
        LOG_LINE("%s", kStates[s].message);
    return s;
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
