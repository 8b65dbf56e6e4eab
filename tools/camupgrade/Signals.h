// Ctrl-C and SIGTERM as the command understands them: the first one, and
// whether one is a repeat. They arrive outside any signal handler, so what
// they trigger (cancelling the job takes a lock, printing takes another) may
// take locks.
#pragma once

#include "platform/stopsignals.h"

#include <atomic>
#include <chrono>
#include <functional>

namespace cli {

class SignalWatcher {
public:
    // signal: SIGINT or SIGTERM (2 or 15). repeated: a second one within 3 s.
    using Handler = std::function<void(int signal, bool repeated)>;

    // Call before any other thread starts: the signals are then held for the
    // watcher in every thread of the process.
    static void holdSignals() { platform::StopSignals::hold(); }

    ~SignalWatcher() { stop(); }
    void start(Handler handler);
    void stop() { m_signals.stop(); }
    // The first signal taken, 0 when none.
    int first() const { return m_first.load(); }

private:
    void deliver(int signal);

    Handler m_handler;
    platform::StopSignals m_signals;
    std::atomic<int> m_first{0};
    std::chrono::steady_clock::time_point m_last;
};

}  // namespace cli
