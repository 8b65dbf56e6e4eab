#include "platform/stopsignals.h"

#include <pthread.h>
#include <signal.h>

#include <csignal>

namespace platform {

namespace {

// SIGUSR2 only wakes the waiting thread when it is to stop.
sigset_t watchedSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR2);
    return set;
}

}  // namespace

void StopSignals::hold() {
    sigset_t set = watchedSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Output into a closed pipe (`camupgrade ... | head`) must not end the
    // process with a camera under control and its firmware unpacked.
    std::signal(SIGPIPE, SIG_IGN);
}

StopSignals::~StopSignals() { stop(); }

void StopSignals::start(Handler handler) {
    m_handler = std::move(handler);
    m_thread = std::thread([this] {
        sigset_t set = watchedSet();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0 || signal == SIGUSR2)
                return;
            m_handler(signal);
        }
    });
}

void StopSignals::stop() {
    if (!m_thread.joinable())
        return;
    pthread_kill(m_thread.native_handle(), SIGUSR2);
    m_thread.join();
}

}  // namespace platform
