#include "Signals.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>

#include <csignal>
#endif

namespace cli {

namespace {

constexpr auto kRepeatWithin = std::chrono::seconds(3);
// `timeout` and a shell's job control send one signal to the process and
// again to its group: copies that close together are the same request, not
// a person pressing Ctrl-C twice.
constexpr auto kSameRequest = std::chrono::milliseconds(300);

}  // namespace

void SignalWatcher::deliver(int signal) {
    auto now = std::chrono::steady_clock::now();
    int none = 0;
    bool firstEver = m_first.compare_exchange_strong(none, signal);
    if (!firstEver && now - m_last < kSameRequest)
        return;
    bool repeated = !firstEver && now - m_last < kRepeatWithin;
    m_last = now;
    if (m_handler)
        m_handler(signal, repeated);
}

SignalWatcher::~SignalWatcher() { stop(); }

#ifndef _WIN32

namespace {

// SIGUSR2 only wakes the watcher when it is to stop.
sigset_t watchedSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR2);
    return set;
}

}  // namespace

void SignalWatcher::holdSignals() {
    sigset_t set = watchedSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Output into a closed pipe (`camupgrade ... | head`) must not end the
    // process with a camera under control and its firmware unpacked.
    std::signal(SIGPIPE, SIG_IGN);
}

void SignalWatcher::start(Handler handler) {
    m_handler = std::move(handler);
    m_thread = std::thread([this] {
        sigset_t set = watchedSet();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0 || signal == SIGUSR2)
                return;
            deliver(signal);
        }
    });
}

void SignalWatcher::stop() {
    if (!m_thread.joinable())
        return;
    pthread_kill(m_thread.native_handle(), SIGUSR2);
    m_thread.join();
}

#else

namespace {

SignalWatcher* g_watcher = nullptr;
std::function<void(int)> g_deliver;

// Windows runs this on a thread of its own, not inside an interrupt.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (!g_deliver)
        return FALSE;
    g_deliver(event == CTRL_C_EVENT ? 2 : 15);
    return TRUE;
}

}  // namespace

void SignalWatcher::holdSignals() {}

void SignalWatcher::start(Handler handler) {
    m_handler = std::move(handler);
    g_watcher = this;
    g_deliver = [this](int signal) { deliver(signal); };
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void SignalWatcher::stop() {
    if (g_watcher != this)
        return;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    g_watcher = nullptr;
}

#endif

}  // namespace cli
