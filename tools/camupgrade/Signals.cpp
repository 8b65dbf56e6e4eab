#include "Signals.h"

namespace cli {

namespace {

constexpr auto kRepeatWithin = std::chrono::seconds(3);
// `timeout` and a shell's job control send one signal to the process and
// again to its group: copies that close together are the same request, not
// a person pressing Ctrl-C twice.
constexpr auto kSameRequest = std::chrono::milliseconds(300);

}  // namespace

void SignalWatcher::start(Handler handler) {
    m_handler = std::move(handler);
    m_signals.start([this](int signal) { deliver(signal); });
}

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

}  // namespace cli
