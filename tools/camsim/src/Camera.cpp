// The camera as its users see it: a register model, the GVCP server that
// answers for it and the worker that upgrades and restarts it, started and
// stopped together.
#include "camsim/Camera.h"

#include "CameraState.h"
#include "GvcpServer.h"
#include "UpgradeWorker.h"

#include "camsim/Package.h"
#include "platform/socket.h"

#include <chrono>

namespace camsim {

std::string validate(const Config& cfg) {
    in_addr a{};
    if (::inet_pton(AF_INET, cfg.ip.c_str(), &a) != 1)
        return "'" + cfg.ip + "' is not an IPv4 address";
    if (cfg.kind != 0 && cfg.kind != 1)
        return "kind must be 0 or 1";
    if (cfg.gvcpLoss < 0 || cfg.gvcpLoss > 1 || cfg.dataLoss < 0 || cfg.dataLoss > 1)
        return "loss probabilities must lie between 0 and 1";
    if (cfg.forceState < -1 || cfg.forceState > 255 || cfg.staleState < -1 || cfg.staleState > 255)
        return "forced and stale states must be 0..255";
    if (cfg.flashMs < 0 || cfg.restartMs < 0 || cfg.replyLatencyMs < 0 || cfg.pendingMs < 0 ||
        cfg.pendingMs > 0xFFFF || cfg.tftpTimeoutMs <= 0 || cfg.tftpRetries < 0)
        return "times must not be negative (pending time at most 65535 ms)";
    if (!cfg.minVersion.empty() && !isVersion(cfg.minVersion))
        return "minimum version '" + cfg.minVersion + "' is not dotted numbers";
    if (cfg.infoFile.empty())
        return "no information file name";
    return {};
}

// Destroyed from the last member up: the server (which launches jobs) goes
// before the worker, and both before the state they share.
struct Camera::Impl {
    explicit Impl(const Config& c)
        : state(c), worker(state), server(state, [this](const Action& a) { worker.launch(a); }) {}

    CameraState state;
    UpgradeWorker worker;
    GvcpServer server;
    bool started = false;
};

Camera::Camera(Config cfg) : m_cfg(std::move(cfg)), m(std::make_unique<Impl>(m_cfg)) {}

Camera::~Camera() { stop(); }

void Camera::setEventHandler(std::function<void(const Event&)> handler) { m->state.handler = std::move(handler); }

bool Camera::start(std::string* error) {
    std::string why = m->started ? "a camera starts once" : validate(m_cfg);
    if (why.empty() && !m->worker.valid())
        why = "no wake-up pipe";
    if (why.empty() && m->server.bind(&why)) {
        m->started = true;
        {
            std::lock_guard<std::mutex> g(m->state.lock);
            m->state.running = true;
        }
        m->state.note(EventKind::Control, 1,
                      "camera kind " + std::to_string(m_cfg.kind) + " (" + m_cfg.model + ", firmware " +
                          m_cfg.firmwareVersion + ") answering on " + m_cfg.ip + ":" + std::to_string(m_cfg.gvcpPort));
        m->server.run();
        return true;
    }
    if (error)
        *error = why;
    return false;
}

void Camera::stop() {
    {
        std::lock_guard<std::mutex> g(m->state.lock);
        if (!m->state.running)
            return;
        m->state.stopping = true;
        m->state.wake.notify_all();
    }
    m->server.stop();
    m->worker.stop();
    std::lock_guard<std::mutex> g(m->state.lock);
    m->state.running = false;
}

Snapshot Camera::snapshot() const {
    std::lock_guard<std::mutex> g(m->state.lock);
    Snapshot s = m->state.stats;
    const RegisterModel& md = m->state.model;
    s.running = m->state.running;
    s.answering = m->state.running && m->state.answering;
    s.controlled = md.controlled();
    s.controller = md.controlled() ? md.controller().text() : std::string();
    s.ccp = md.ccp();
    s.heartbeatMs = md.heartbeatMs();
    s.state = md.state();
    s.percent = md.percent();
    s.busy = md.busy();
    s.fileServer = md.fileServer();
    s.firmwareVersion = md.firmwareVersion();
    return s;
}

std::vector<Event> Camera::events() const {
    std::lock_guard<std::mutex> g(m->state.lock);
    return std::vector<Event>(m->state.log.begin(), m->state.log.end());
}

bool Camera::waitFor(const std::function<bool(const Snapshot&)>& pred, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred(snapshot()))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> g(m->state.lock);
        m->state.wake.wait_for(g, std::chrono::milliseconds(20));
    }
}

}  // namespace camsim
