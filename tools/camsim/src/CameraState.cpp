#include "CameraState.h"

#include "platform/socket.h"

#include <chrono>

namespace camsim {

std::uint32_t hostOrder(const std::string& ip) {
    return ntohl(platform::makeAddr(ip.c_str(), 0).sin_addr.s_addr);
}

Identity identityOf(const Config& c) {
    Identity id;
    id.ip = hostOrder(c.ip);
    id.kindRegister = c.kindRegister != 0 ? c.kindRegister : (c.kind == 1 ? KIND1_VALUE : KIND0_VALUE);
    id.manufacturer = c.manufacturer;
    id.model = c.model;
    id.deviceVersion = c.firmwareVersion;
    id.manufacturerInfo = "simulated camera";
    id.serial = c.serial.empty() ? "SIM" + std::to_string(id.ip & 0xFFFFFF) : c.serial;
    id.userName = c.userName;
    id.refuseControl = c.refuseControl;
    id.staleState = c.staleState;
    return id;
}

CameraState::CameraState(const Config& c)
    : cfg(c), model(identityOf(c)), lastState(model.state()), lastPercent(model.percent()) {}

void CameraState::noteLocked(std::vector<Event>* out, EventKind kind, int level, std::string text) {
    const std::size_t first = out->size();
    for (auto& e : model.takeEvents())
        if (e.level <= cfg.eventLevel)
            out->push_back(std::move(e));
    if (!text.empty() && level <= cfg.eventLevel)
        out->push_back(Event{std::chrono::system_clock::now(), {}, kind, level, std::move(text)});
    if (model.state() != lastState || model.percent() != lastPercent) {
        lastState = model.state();
        lastPercent = model.percent();
        stats.stateHistory.push_back(static_cast<std::uint16_t>(lastPercent << 8 | lastState));
    }
    for (std::size_t i = first; i < out->size(); ++i) {
        Event& e = (*out)[i];
        e.camera = cfg.ip;
        log.push_back(e);
        if (log.size() > 4096)
            log.pop_front();
    }
    wake.notify_all();
}

void CameraState::publish(const std::vector<Event>& events) {
    if (events.empty() || !handler)
        return;
    std::lock_guard<std::mutex> g(emitLock);
    for (const auto& e : events)
        handler(e);
}

void CameraState::note(EventKind kind, int level, std::string text) {
    std::vector<Event> out;
    {
        std::lock_guard<std::mutex> g(lock);
        noteLocked(&out, kind, level, std::move(text));
    }
    publish(out);
}

void CameraState::setStatus(std::uint8_t state, std::uint8_t percent, const std::string& why) {
    std::vector<Event> out;
    {
        std::lock_guard<std::mutex> g(lock);
        model.setStatus(state, percent);
        noteLocked(&out, EventKind::Upgrade, 1, why);
    }
    publish(out);
}

bool CameraState::pause(int ms) {
    std::unique_lock<std::mutex> g(lock);
    return !wake.wait_for(g, std::chrono::milliseconds(ms), [this] { return stopping; });
}

void CameraState::countRequest(std::chrono::steady_clock::time_point now) {
    if (stats.requests++ == 0)
        firstRequest = now;
    lastRequest = now;
    if (!fetching)
        ++stats.requestsOutsideFetch;
    stats.requestSeconds = std::chrono::duration<double>(lastRequest - firstRequest).count();
}

void CameraState::fetchStarts() {
    std::lock_guard<std::mutex> g(lock);
    fetching = true;
    fetchStart = std::chrono::steady_clock::now();
}

void CameraState::fetchEnds() {
    std::lock_guard<std::mutex> g(lock);
    fetching = false;
    stats.fetchSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - fetchStart).count();
}

}  // namespace camsim
