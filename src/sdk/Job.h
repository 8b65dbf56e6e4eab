// One job of the C API: the engine's job on a thread of its own, whose
// delivery thread hands its events to the host's callbacks with no lock
// held, and a cancel that a signal handler may ask for.
#pragma once

#include "camupgrade_sdk.h"
#include "engine/Engine.h"
#include "engine/Job.h"
#include "sdk/Guard.h"
#include "platform/socket.h"

#include <atomic>
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sdk {

class Job : private engine::Observer {
public:
    explicit Job(const cu_options& options);
    ~Job() override;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    Failure add(const char* cameraIp, const char* package, const char* name);
    Failure plan(std::size_t index, cu_plan* out);
    Failure start();
    Failure wait(std::int32_t timeoutMs);
    // Async-signal-safe: an atomic store and a write to a pipe.
    void cancel();
    Failure result(std::size_t index, cu_result* out);
    // Cancels, waits for the end and joins every thread of the job.
    Failure finish();

private:
    enum class State { Idle, Running, Finished };

    void onStatus(const engine::CameraStatus& status) override;
    void onLogLine(const std::string& line) override;
    void onCameraLogLine(const std::string& cameraIp, const std::string& line) override;
    void onResult(const engine::CameraResult& result) override;
    template <class F>
    void callHost(F&& call);

    struct StoredPlan;
    cu_plan planOf(StoredPlan& stored, std::size_t index);
    void runEngine();
    void watchCancel();
    std::size_t indexOf(const std::string& cameraIp) const;
    Failure stateFailure(State state) const;
    bool inCallback() const;
    void join();
    void undoStart();

    cu_options m_callbacks;
    engine::JobOptions m_options;
    std::vector<engine::CameraTarget> m_targets;

    std::mutex m_lock;  // guards the state, the plans and the results
    std::condition_variable m_ended;
    State m_state = State::Idle;
    bool m_planning = false;  // a cu_job_plan is under way
    struct StoredPlan {
        engine::CameraPlan plan;
        cu_identity identity;
        std::vector<cu_file> files;
    };
    std::map<std::size_t, StoredPlan> m_plans;
    engine::Digests m_digests;  // each package read once for the plans
    std::vector<engine::CameraResult> m_results;
    std::vector<cu_identity> m_identities;  // before and after, two per camera

    struct NetUse {  // Winsock for the waker's sockets
        NetUse() { platform::netStartup(); }
        ~NetUse() { platform::netCleanup(); }
    } m_net;
    std::atomic<bool> m_cancelAsked{false};
    std::atomic<bool> m_stopWatch{false};
    platform::Waker m_cancelWake;
    engine::Cancel m_cancel;

    std::mutex m_joinLock;
    std::thread m_runner, m_watcher;
};

// Fills a struct the library writes: up to the caller's size (an older
// caller's struct ends at `first` or later), the rest of a newer caller's
// struct zeroed; struct_size tells what was written.
template <class T>
Failure fillOut(const T& full, T* out, std::size_t first = sizeof(T)) {
    if (out == nullptr)
        return {CU_ERR_ARGUMENT, "the output struct is null"};
    std::size_t size = out->struct_size;
    if (size < first)
        return {CU_ERR_STRUCT_SIZE, "struct_size " + std::to_string(size) + " is below " +
                                        std::to_string(first) + ", the first version's size"};
    std::size_t written = std::min(size, sizeof(T));
    std::memcpy(out, &full, written);
    std::memset(reinterpret_cast<char*>(out) + written, 0, size - written);
    out->struct_size = written;
    return {CU_OK, {}};
}

}  // namespace sdk
