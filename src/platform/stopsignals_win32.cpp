#include "platform/stopsignals.h"

#include <windows.h>

namespace platform {

namespace {

StopSignals* g_owner = nullptr;
StopSignals::Handler g_deliver;

// Windows runs this on a thread of its own, not inside an interrupt.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (!g_deliver)
        return FALSE;
    g_deliver(event == CTRL_C_EVENT ? 2 : 15);
    return TRUE;
}

}  // namespace

void StopSignals::hold() {}

StopSignals::~StopSignals() { stop(); }

void StopSignals::start(Handler handler) {
    m_handler = std::move(handler);
    g_owner = this;
    g_deliver = [this](int signal) { m_handler(signal); };
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void StopSignals::stop() {
    if (g_owner != this)
        return;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    g_owner = nullptr;
}

}  // namespace platform
