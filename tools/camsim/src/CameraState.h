// What the GVCP server and the upgrade worker of one camera share: the
// register model, the counters a snapshot shows and the event log, under one
// lock, with the condition variable every wait of the camera sleeps on.
#pragma once

#include "camsim/Camera.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace camsim {

struct CameraState {
    explicit CameraState(const Config& c);

    const Config& cfg;
    std::function<void(const Event&)> handler;

    // Guards everything below up to emitLock.
    mutable std::mutex lock;
    std::condition_variable wake;
    RegisterModel model;
    bool running = false;
    bool answering = true;
    bool stopping = false;
    Snapshot stats;  // counters, files and history; the rest comes from the model
    std::deque<Event> log;
    std::uint8_t lastState;
    std::uint8_t lastPercent;
    bool fetching = false;
    std::chrono::steady_clock::time_point firstRequest, lastRequest, fetchStart;

    // Keeps handler calls in order across the camera's threads.
    std::mutex emitLock;

    // Call with the lock held: queues the model's events and a new one.
    void noteLocked(std::vector<Event>* out, EventKind kind, int level, std::string text);
    // Hands queued events to the handler; call without the lock.
    void publish(const std::vector<Event>& events);
    void note(EventKind kind, int level, std::string text);
    // Counts a GVCP request that arrived; call with the lock held.
    void countRequest(std::chrono::steady_clock::time_point now);
    // Marks the start and end of a file fetch; call without the lock.
    void fetchStarts();
    void fetchEnds();
    void setStatus(std::uint8_t state, std::uint8_t percent, const std::string& why = {});
    // Sleeps; false when the camera is stopping.
    bool pause(int ms);
};

// The register model's view of a configuration.
Identity identityOf(const Config& c);
std::uint32_t hostOrder(const std::string& ip);

}  // namespace camsim
