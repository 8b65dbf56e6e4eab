#include "sdk/Job.h"

#include "sdk/Convert.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace sdk {

namespace {

// The job whose callback this thread is in, if any.
thread_local const Job* t_inCallback = nullptr;

}  // namespace

Job::Job(const cu_options& options) : m_callbacks(options) {
    if (options.host_ip != nullptr)
        m_options.hostIp = options.host_ip;
    if (options.inactivity_ms != 0)
        m_options.inactivity = std::chrono::milliseconds(options.inactivity_ms);
    m_options.parallel = options.parallel;
    m_options.readIdentity = options.skip_identity == 0;
    if (options.expect_version != nullptr)
        m_options.expectVersion = options.expect_version;
    m_options.reinstall = options.reinstall != 0;
    m_options.allowOlder = options.allow_older != 0;
    if (options.sha256 != nullptr)
        for (const char* c = options.sha256; *c != '\0'; ++c)
            m_options.sha256 += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    m_options.canary = options.canary;
    m_options.stopAfter = options.stop_after;
    if (options.heartbeat_ms == CU_HEARTBEAT_BACK_TO_BACK)
        m_options.heartbeatMs = 0;
    else if (options.heartbeat_ms != 0)
        m_options.heartbeatMs = options.heartbeat_ms;
    if (options.lost_after_ms != 0)
        m_options.lostAfter = std::chrono::milliseconds(options.lost_after_ms);
    if (options.unpack_root != nullptr)
        m_options.unpackRoot = options.unpack_root;
    m_options.logging = engine::Logging::SinkOnly;
    if (!m_cancelWake.valid())
        throw std::runtime_error("cannot make the pipe of the job's cancel");
}

Job::~Job() { finish(); }

Failure Job::stateFailure(State state) const {
    switch (state) {
    case State::Running:
        return {CU_ERR_RUNNING, "the job is running"};
    case State::Finished:
        return {CU_ERR_DONE, "the job has already run"};
    default:
        return {CU_ERR_NOT_STARTED, "the job was never started"};
    }
}

Failure Job::add(const char* cameraIp, const char* package, const char* name) {
    if (cameraIp == nullptr || package == nullptr)
        return {CU_ERR_ARGUMENT, "a camera needs an address and a package"};
    if (!platform::isIpv4Text(cameraIp))
        return {CU_ERR_ADDRESS, std::string("\"") + cameraIp + "\" is not an IPv4 address"};
    std::error_code ec;
    if (!std::filesystem::is_directory(package, ec) && !std::ifstream(package, std::ios::binary))
        return {CU_ERR_PACKAGE, std::string("cannot read the package ") + package};
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != State::Idle || m_planning)
        return stateFailure(m_planning ? State::Running : m_state);
    for (const auto& t : m_targets)
        if (t.cameraIp == cameraIp)
            return {CU_ERR_ADDRESS, std::string("camera ") + cameraIp + " is listed twice"};
    m_targets.push_back({cameraIp, std::filesystem::absolute(package).string(),
                         name != nullptr ? name : ""});
    return {CU_OK, {}};
}

Failure Job::plan(std::size_t index, cu_plan* out) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_state == State::Running || m_planning)
            return stateFailure(State::Running);
        if (index >= m_targets.size())
            return {CU_ERR_ARGUMENT, "the job has no camera " + std::to_string(index)};
        m_planning = true;
    }
    engine::CameraPlan report;
    try {
        report = engine::planCamera(m_targets[index], m_options, m_callbacks.plan_skips_port == 0,
                                    m_digests, true, nullptr);
    } catch (...) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_planning = false;
        m_ended.notify_all();
        throw;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_planning = false;
    m_ended.notify_all();
    StoredPlan& stored = m_plans[index];
    stored.plan = std::move(report);
    return fillOut(planOf(stored, index), out, offsetof(cu_plan, action));
}

cu_plan Job::planOf(StoredPlan& stored, std::size_t index) {
    const engine::CameraPlan& r = stored.plan;
    cu_plan c{};
    c.struct_size = sizeof c;
    c.index = index;
    c.ok = r.ok ? 1 : 0;
    c.reason = reasonOf(r.reason);
    c.message = r.message.c_str();
    c.host_ip = r.hostIp.c_str();
    c.layout = r.layout.c_str();
    if (r.answered || r.haveIdentity) {
        toIdentity(r.identity, &stored.identity);
        c.identity = &stored.identity;
    }
    c.action = actionOf(r.action);
    c.camera_ip = r.cameraIp.c_str();
    c.name = r.name.c_str();
    c.answered = r.answered ? 1 : 0;
    c.status_read = r.statusRead ? 1 : 0;
    c.busy = r.busy ? 1 : 0;
    c.state = r.statusRead ? r.state : -1;
    c.percent = r.percent;
    c.package = r.package.c_str();
    c.package_is_folder = r.packageIsFolder ? 1 : 0;
    c.package_size = r.packageSize;
    c.sha256 = r.sha256.c_str();
    c.folder = r.folder.c_str();
    stored.files.clear();
    for (const auto& f : r.files)
        stored.files.push_back({f.name.c_str(), f.size});
    c.file_count = stored.files.size();
    c.files = stored.files.empty() ? nullptr : stored.files.data();
    c.expect_version = r.expectVersion.c_str();
    return c;
}

Failure Job::start() {
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_state != State::Idle || m_planning)
        return stateFailure(m_planning ? State::Running : m_state);
    m_state = State::Running;
    // A cancel that came before the start reaches the engine before it runs.
    if (m_cancelAsked.load())
        m_cancel.request();
    try {
        m_watcher = std::thread([this] { watchCancel(); });
        m_runner = std::thread([this] { runEngine(); });
    } catch (const std::system_error& e) {
        guard.unlock();
        undoStart();
        return {CU_ERR_INTERNAL, std::string("cannot start the job's threads: ") + e.what()};
    }
    return {CU_OK, {}};
}

// The watcher, if it started, ends at once; the job is idle again.
void Job::undoStart() {
    m_stopWatch.store(true);
    m_cancelWake.wake();
    if (m_watcher.joinable())
        m_watcher.join();
    m_stopWatch.store(false);
    std::lock_guard<std::mutex> guard(m_lock);
    m_state = State::Idle;
}

bool Job::inCallback() const { return t_inCallback == this; }

Failure Job::wait(std::int32_t timeoutMs) {
    if (inCallback())
        return {CU_ERR_IN_CALLBACK, "a callback of the job cannot wait for the job"};
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_state == State::Idle)
        return stateFailure(m_state);
    auto ended = [this] { return m_state == State::Finished; };
    if (timeoutMs < 0)
        m_ended.wait(guard, ended);
    else if (!m_ended.wait_for(guard, std::chrono::milliseconds(timeoutMs), ended))
        return {CU_ERR_TIMEOUT, "the job still runs"};
    guard.unlock();
    join();
    return {CU_OK, {}};
}

void Job::cancel() {
    m_cancelAsked.store(true);
    m_cancelWake.wake();
}

Failure Job::result(std::size_t index, cu_result* out) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_state != State::Finished)
        return m_state == State::Idle ? stateFailure(m_state)
                                      : Failure{CU_ERR_RUNNING, "the job is running"};
    if (index >= m_results.size())
        return {CU_ERR_ARGUMENT, "the job has no camera " + std::to_string(index)};
    return fillOut(resultOf(m_results[index], index, &m_identities[2 * index],
                            m_targets[index].package),
                   out,
                   offsetof(cu_result, downgraded));
}

Failure Job::finish() {
    if (inCallback())
        return {CU_ERR_IN_CALLBACK, "a callback of the job cannot free the job"};
    cancel();
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_ended.wait(guard, [this] { return m_state != State::Running && !m_planning; });
    }
    m_stopWatch.store(true);
    m_cancelWake.wake();
    join();
    return {CU_OK, {}};
}

void Job::join() {
    std::lock_guard<std::mutex> guard(m_joinLock);
    if (m_runner.joinable())
        m_runner.join();
    // The watcher lives until the job goes: a cancel after the end is harmless.
    if (m_stopWatch.load() && m_watcher.joinable())
        m_watcher.join();
}

void Job::runEngine() {
    std::vector<engine::CameraResult> results;
    try {
        results = engine::runJob(m_targets, m_options, this, &m_cancel);
    } catch (...) {
        // Every camera's result below says the job ended without one.
    }
    // A camera the engine could not end gets a result all the same.
    results.resize(m_targets.size());
    for (std::size_t i = 0; i < m_targets.size(); ++i)
        if (results[i].cameraIp.empty()) {
            results[i].cameraIp = m_targets[i].cameraIp;
            results[i].name = m_targets[i].name;
            results[i].message = "the job ended without a result for this camera";
            results[i].reason = engine::Reason::Internal;
        }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_results = std::move(results);
        m_identities.assign(2 * m_results.size(), cu_identity{});
        for (std::size_t i = 0; i < m_results.size(); ++i)
            toIdentities(m_results[i], &m_identities[2 * i]);
        m_state = State::Finished;
    }
    m_ended.notify_all();
}

// Turns the signal-safe request into the engine's cancel, which takes a lock.
void Job::watchCancel() {
    while (!m_stopWatch.load()) {
        if (m_cancelAsked.load() && !m_cancel.requested())
            m_cancel.request();
        platform::waitReadable(platform::INVALID_SOCK, -1, &m_cancelWake);
        m_cancelWake.clear();
    }
}

std::size_t Job::indexOf(const std::string& cameraIp) const {
    for (std::size_t i = 0; i < m_targets.size(); ++i)
        if (m_targets[i].cameraIp == cameraIp)
            return i;
    return m_targets.size();
}

// The host's code runs here, on the engine's delivery thread: a throw from a
// C++ callback compiled into the host must not end that thread.
template <class F>
void Job::callHost(F&& call) {
    t_inCallback = this;
    try {
        call(m_callbacks);
    } catch (...) {
    }
    t_inCallback = nullptr;
}

void Job::onStatus(const engine::CameraStatus& s) {
    callHost([&](const cu_options& c) {
        if (c.on_status != nullptr) {
            cu_status status = statusOf(s, indexOf(s.cameraIp));
            c.on_status(&status, c.user);
        }
    });
}

void Job::onLogLine(const std::string& line) {
    callHost([&](const cu_options& c) {
        if (c.on_log != nullptr)
            c.on_log(line.c_str(), c.user);
    });
}

void Job::onCameraLogLine(const std::string& cameraIp, const std::string& line) {
    onLogLine(line);
    callHost([&](const cu_options& c) {
        if (c.on_camera_log != nullptr) {
            std::size_t index = cameraIp.empty() ? m_targets.size() : indexOf(cameraIp);
            c.on_camera_log(index < m_targets.size() ? index : SIZE_MAX, cameraIp.c_str(),
                            line.c_str(), c.user);
        }
    });
}

void Job::onResult(const engine::CameraResult& r) {
    callHost([&](const cu_options& c) {
        if (c.on_result != nullptr) {
            cu_identity identities[2];
            toIdentities(r, identities);
            std::size_t index = indexOf(r.cameraIp);
            static const std::string none;
            const std::string& package = index < m_targets.size() ? m_targets[index].package : none;
            cu_result result = resultOf(r, index, identities, package);
            c.on_result(&result, c.user);
        }
    });
}

}  // namespace sdk
