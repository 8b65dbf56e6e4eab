// What the cameras of one job share: the observer (one call at a time), the
// cancellation, the options and the one port-69 service.
#pragma once

#include "engine/Engine.h"

#include <map>
#include <memory>
#include <mutex>

class updgradeManager;

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

    void status(const CameraStatus& status);
    void line(const std::string& line);
    void result(const CameraResult& result);

    // The port-69 service, started by the first camera that needs it; null
    // when it cannot be bound (*why says so).
    updgradeManager* fileService(std::string* why);
    Digests& digests() { return m_digests; }

private:
    JobOptions m_options;
    Observer* m_observer;
    const Cancel* m_cancel;
    std::recursive_mutex m_observerLock;  // an observer that logs must not deadlock

    std::mutex m_serviceLock;
    bool m_serviceTried = false;
    std::string m_serviceError;
    std::unique_ptr<updgradeManager> m_service;
    Digests m_digests;
};

// One camera from start to end: pre-flight, control, session, release.
CameraResult runCamera(Job& job, const CameraTarget& target);

// The plan of one camera; the port-69 check left out when the job holds
// the port, the package's digest computed only when shown or compared.
CameraPlan planCamera(const CameraTarget& target, const JobOptions& options, bool checkPort,
                      Digests& digests, bool showDigest);

// Why port 69 cannot be bound, in one sentence.
std::string portProblem();

// The camera's hardware kind from its kind register (0 when unread);
// *answered is false when the camera said nothing at all.
int readKind(const std::string& cameraIp, bool* answered);

// Sentences for the two ways a camera can fail to be taken under control.
std::string whyNoControl(const std::string& cameraIp, int* exitCode);

}  // namespace engine
