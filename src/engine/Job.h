// What the cameras of one job share: the observer's event queue and its
// delivery thread, the cancellation, the options and the one port-69
// service.
#pragma once

#include "engine/Engine.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

class updgradeManager;

namespace package {
struct Prepared;
}

namespace engine {

// Package digests, each file read once however many cameras share it.
class Digests {
public:
    // Empty when the file cannot be read.
    std::string of(const std::string& path);

private:
    std::mutex m_lock;
    std::map<std::string, std::string> m_known;
};

class Job {
public:
    Job(const JobOptions& options, Observer* observer, const Cancel* cancel);
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    const JobOptions& options() const { return m_options; }
    bool cancelled() const { return m_cancel != nullptr && m_cancel->requested(); }
    // Waits up to `timeout`; true when the job was cancelled.
    bool waitCancel(std::chrono::milliseconds timeout) const;

    // Queued for the observer; they return at once.
    void status(const CameraStatus& status);
    void line(const std::string& line);
    void result(const CameraResult& result);

    // The port-69 service, started by the first camera that needs it; null
    // when it cannot be bound (*why says so).
    updgradeManager* fileService(std::string* why);
    Digests& digests() { return m_digests; }

private:
    struct Event {
        enum Kind { Status, Line, Result } kind;
        CameraStatus status;
        std::string line;
        CameraResult result;
        std::string camera;  // of a line: the camera the logging thread works for
    };
    static const std::string& cameraOf(const Event& event);
    void post(Event event);
    void push(Event event, const std::string& camera);
    bool coalesced(const Event& status);
    void pushDroppedNote();
    void deliver();
    void stopDelivery();

    JobOptions m_options;
    Observer* m_observer;
    const Cancel* m_cancel;

    std::mutex m_eventLock;
    std::condition_variable m_eventWake;
    // A stalled observer must not make the queue grow without end: a status
    // replaces its camera's undelivered one of the same phase and state when
    // nothing of that camera came after it, and lines beyond kMaxLines are
    // counted and told in one line when there is room again.
    std::deque<Event> m_events;
    std::uint64_t m_firstSeq = 0;                 // of m_events.front()
    std::map<std::string, std::uint64_t> m_last;  // each camera's newest queued event
    std::size_t m_lines = 0;                      // queued
    std::size_t m_droppedLines = 0;
    bool m_closing = false;
    std::thread m_delivery;

    std::mutex m_serviceLock;
    bool m_serviceTried = false;
    std::string m_serviceError;
    std::unique_ptr<updgradeManager> m_service;
    Digests m_digests;
};

// One camera from start to end: pre-flight, control, session, release.
CameraResult runCamera(Job& job, const CameraTarget& target);

// The plan of one camera; the port-69 check left out when the job holds
// the port, the package's digest computed only when shown or compared;
// *prepared receives the unpacked package for the session when not null
// (only when the camera would be upgraded).
CameraPlan planCamera(const CameraTarget& target, const JobOptions& options, bool checkPort,
                      Digests& digests, bool showDigest,
                      std::unique_ptr<package::Prepared>* prepared);

// Why port 69 cannot be bound, in one sentence.
std::string portProblem();

// Sentences for the two ways a camera can fail to be taken under control.
std::string whyNoControl(const std::string& cameraIp, Reason* reason);

namespace testing {
// Called whenever a camera's run enters a phase, on the thread that runs
// the camera; a test throws from it to see how the engine ends that camera.
void setCameraHook(std::function<void(const CameraTarget&, Phase)> hook);
}  // namespace testing

// Calls the hook above, if any.
void cameraHook(const CameraTarget& target, Phase phase);

}  // namespace engine
