// Requests to stop the process from outside: Ctrl-C and SIGTERM on POSIX,
// the console's control events on Windows. They are taken outside any
// signal handler (a thread of ours waits for them; Windows calls on a thread
// of its own), so whatever they trigger may take locks.
#pragma once

#include <functional>
#include <thread>

namespace platform {

class StopSignals {
public:
    // signal: 2 for an interrupt (Ctrl-C), 15 for a request to terminate.
    using Handler = std::function<void(int signal)>;

    // Call before any other thread starts: the signals are then held for the
    // waiting thread in every thread of the process. Also keeps a write into
    // a closed pipe from ending the process.
    static void hold();

    ~StopSignals();
    void start(Handler handler);
    // Stops taking them; joins the waiting thread.
    void stop();

private:
    Handler m_handler;
    std::thread m_thread;
};

}  // namespace platform
