// What the cameras of one job share: the observer (one call at a time), the
// cancellation, the options and the one port-69 service.
#pragma once

#include "engine/Engine.h"

#include <memory>
#include <mutex>

class updgradeManager;

namespace engine {

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

    void status(const CameraStatus& status);
    void line(const std::string& line);
    void result(const CameraResult& result);

    // The port-69 service, started by the first camera that needs it; null
    // when it cannot be bound (*why says so).
    updgradeManager* fileService(std::string* why);

private:
    JobOptions m_options;
    Observer* m_observer;
    const Cancel* m_cancel;
    std::recursive_mutex m_observerLock;  // an observer that logs must not deadlock

    std::mutex m_serviceLock;
    bool m_serviceTried = false;
    std::string m_serviceError;
    std::unique_ptr<updgradeManager> m_service;
};

// One camera from start to end: pre-flight, control, session, release.
CameraResult runCamera(Job& job, const CameraTarget& target);

// Pre-flight with the job's port-69 check left out when the job holds it.
PreflightReport preflightCamera(const CameraTarget& target, const JobOptions& options,
                                bool checkPort);

// Why port 69 cannot be bound, in one sentence.
std::string portProblem();

// The camera's hardware kind from its kind register (0 when unread);
// *answered is false when the camera said nothing at all.
int readKind(const std::string& cameraIp, bool* answered);

// Sentences for the two ways a camera can fail to be taken under control.
std::string whyNoControl(const std::string& cameraIp, int* exitCode);

}  // namespace engine
