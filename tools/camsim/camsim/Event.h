// What a simulated camera tells the person or test watching it.
#pragma once

#include <chrono>
#include <string>

namespace camsim {

enum class EventKind {
    Request,   // a GVCP command arrived (detail level)
    Control,   // control taken, released, refused or expired
    Upgrade,   // upgrade command, verdict checks
    Transfer,  // file fetch started, finished, block traffic
    State,     // status register changed
    Restart,   // going silent, answering again
    Fault,     // an injected fault fired
};

// Level 1 is one line per event a demo audience cares about; level 2 adds
// every request and every re-sent acknowledgement.
struct Event {
    std::chrono::system_clock::time_point time;
    std::string camera;  // the camera's address
    EventKind kind;
    int level;
    std::string text;
};

const char* kindName(EventKind k);
// "12:34:56.789 127.0.0.2 control    taken by 127.0.0.1:41234"
std::string formatEvent(const Event& e);

}  // namespace camsim
