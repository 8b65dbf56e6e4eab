#include "camsim/Event.h"

#include "platform/platform.h"

#include <cstdio>
#include <ctime>

namespace camsim {

const char* kindName(EventKind k) {
    switch (k) {
    case EventKind::Request: return "request";
    case EventKind::Control: return "control";
    case EventKind::Upgrade: return "upgrade";
    case EventKind::Transfer: return "transfer";
    case EventKind::State: return "state";
    case EventKind::Restart: return "restart";
    case EventKind::Fault: return "fault";
    }
    return "?";
}

std::string formatEvent(const Event& e) {
    auto t = std::chrono::system_clock::to_time_t(e.time);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(e.time.time_since_epoch()).count() % 1000;
    const std::tm tm = platform::localTime(t);
    char head[64];
    std::snprintf(head, sizeof head, "%02d:%02d:%02d.%03d %-15s %-8s ", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms), e.camera.c_str(), kindName(e.kind));
    return head + e.text;
}

}  // namespace camsim
