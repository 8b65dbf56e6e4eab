// Ctrl-C and SIGTERM, taken by a thread of ours that waits for them, so that
// what they trigger (cancelling the job takes a lock, printing takes
// another) never runs inside a signal handler.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace cli {

class SignalWatcher {
public:
    // signal: SIGINT or SIGTERM (2 or 15). repeated: a second one within 3 s.
    using Handler = std::function<void(int signal, bool repeated)>;

    // Call before any other thread starts: the signals are then held for the
    // watcher in every thread of the process.
    static void holdSignals();

    ~SignalWatcher();
    void start(Handler handler);
    void stop();
    // The first signal taken, 0 when none.
    int first() const { return m_first.load(); }

private:
    void deliver(int signal);

    Handler m_handler;
    std::thread m_thread;
    std::atomic<int> m_first{0};
    std::chrono::steady_clock::time_point m_last;
};

}  // namespace cli
