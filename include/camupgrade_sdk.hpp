// camupgrade SDK for C++: a header-only wrapper over the C API of
// camupgrade_sdk.h, with RAII, std::string, std::function and std::chrono.
//
// Errors of the C API become camupgrade::Error. A callback that throws ends
// nothing by itself: the wrapper catches the exception, cancels the job (the
// cameras are released as by cancel()) and wait()/run() throw it again once
// the job has ended. Callbacks run on the job's delivery thread, one at a time.
#pragma once

#include "camupgrade_sdk.h"
#include "camupgrade_sdk_values.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace camupgrade {

struct Options {
    std::string hostIp;                    // empty: the route's source to each camera
    std::chrono::milliseconds inactivity{0};  // 0: 15 minutes
    unsigned parallel = 0;                 // 0: all cameras at once
    bool readIdentity = true;
    // The version guard: a camera at expectVersion ends current, a newer one
    // is refused (neither commanded) unless reinstall / allowOlder; after an
    // upgrade the camera must report it. Empty: not checked.
    std::string expectVersion;
    bool reinstall = false, allowOlder = false;
    std::string sha256;                    // the package's digest, 64 hex digits; empty: not checked
    unsigned canary = 0, stopAfter = 0;    // brakes for a line; 0: off
    // Pause between heartbeat reads (at most 1500 ms); 0: back to back; unset: 1000 ms.
    std::optional<std::chrono::milliseconds> heartbeat;
    std::chrono::milliseconds lostAfter{0};  // 0: 60 s
    std::string unpackRoot;                // packages are unpacked in it; empty: the system's
    bool planSkipsPort = false;            // plan() leaves out whether port 69 can be bound
    std::function<void(const Status&)> onStatus;
    std::function<void(const std::string&)> onLog;
    // Every log line with the camera's address ("" when it belongs to none).
    std::function<void(const std::string& cameraIp, const std::string&)> onCameraLog;
    std::function<void(const Result&)> onResult;
};

class Job {
public:
    explicit Job(Options options = Options()) : m_state(std::make_unique<State>()) {
        m_state->options = std::move(options);
        const Options& o = m_state->options;
        cu_options c{};
        c.struct_size = sizeof c;
        c.host_ip = o.hostIp.empty() ? nullptr : o.hostIp.c_str();
        c.inactivity_ms = static_cast<std::uint32_t>(o.inactivity.count());
        c.parallel = o.parallel;
        c.skip_identity = o.readIdentity ? 0 : 1;
        // Unset options stay zero, so that an older library takes the struct.
        c.expect_version = o.expectVersion.empty() ? nullptr : o.expectVersion.c_str();
        c.reinstall = o.reinstall ? 1 : 0;
        c.allow_older = o.allowOlder ? 1 : 0;
        c.sha256 = o.sha256.empty() ? nullptr : o.sha256.c_str();
        c.canary = o.canary;
        c.stop_after = o.stopAfter;
        if (o.heartbeat)
            c.heartbeat_ms = o.heartbeat->count() <= 0
                                 ? CU_HEARTBEAT_BACK_TO_BACK
                                 : static_cast<std::uint32_t>(std::min<std::int64_t>(
                                       o.heartbeat->count(), INT32_MAX));
        c.lost_after_ms = static_cast<std::uint32_t>(o.lostAfter.count());
        c.unpack_root = o.unpackRoot.empty() ? nullptr : o.unpackRoot.c_str();
        c.plan_skips_port = o.planSkipsPort ? 1 : 0;
        if (o.onCameraLog)
            c.on_camera_log = &State::cameraLog;
        c.on_status = &State::status;
        c.on_log = &State::log;
        c.on_result = &State::result;
        c.user = m_state.get();
        check(cu_job_new(&c, &m_state->job));
    }
    ~Job() {
        if (m_state != nullptr)
            cu_job_free(m_state->job);
    }
    Job(Job&&) noexcept = default;
    Job& operator=(Job&& other) noexcept {
        if (this != &other) {
            if (m_state != nullptr)
                cu_job_free(m_state->job);
            m_state = std::move(other.m_state);
        }
        return *this;
    }

    void addCamera(const std::string& ip, const std::string& package,
                   const std::string& name = std::string()) {
        check(cu_job_add_camera(handle(), ip.c_str(), package.c_str(), name.c_str()));
        ++m_state->cameras;
    }
    std::size_t cameras() const { return m_state->cameras; }

    Plan plan(std::size_t index) {
        cu_plan c{};
        c.struct_size = sizeof c;
        check(cu_job_plan(handle(), index, &c));
        return Plan::from(c);
    }

    void start() { check(cu_job_start(handle())); }
    // True when the job has ended within the timeout.
    bool wait(std::chrono::milliseconds timeout) {
        auto ms = std::min<std::chrono::milliseconds::rep>(timeout.count(), INT32_MAX);
        cu_error e = cu_job_wait(handle(), static_cast<std::int32_t>(ms < 0 ? 0 : ms));
        if (e == CU_ERR_TIMEOUT)
            return false;
        check(e);
        rethrowCallbackError();
        return true;
    }
    void wait() {
        check(cu_job_wait(handle(), -1));
        rethrowCallbackError();
    }
    std::vector<Result> run() {
        start();
        wait();
        return results();
    }
    // Safe from any thread; from a signal handler call cu_job_cancel(handle()).
    void cancel() noexcept { cu_job_cancel(handle()); }

    std::vector<Result> results() {
        std::vector<Result> all;
        for (std::size_t i = 0; i < m_state->cameras; ++i) {
            cu_result c{};
            c.struct_size = sizeof c;
            check(cu_job_result(handle(), i, &c));
            all.push_back(Result::from(c));
        }
        return all;
    }

    cu_job* handle() const { return m_state != nullptr ? m_state->job : nullptr; }

private:
    // What the callbacks reach through `user`; it stays put when the Job moves.
    struct State {
        cu_job* job = nullptr;
        std::size_t cameras = 0;
        Options options;
        std::mutex lock;
        std::exception_ptr thrown;

        template <class F>
        static void guard(void* user, F&& call) noexcept {
            auto* self = static_cast<State*>(user);
            try {
                call(*self);
            } catch (...) {
                std::lock_guard<std::mutex> hold(self->lock);
                if (self->thrown == nullptr)
                    self->thrown = std::current_exception();
                cu_job_cancel(self->job);
            }
        }
        static void status(const cu_status* s, void* user) {
            guard(user, [&](State& self) {
                if (self.options.onStatus)
                    self.options.onStatus(Status::from(*s));
            });
        }
        static void log(const char* line, void* user) {
            guard(user, [&](State& self) {
                if (self.options.onLog)
                    self.options.onLog(line);
            });
        }
        static void cameraLog(std::size_t, const char* ip, const char* line, void* user) {
            guard(user, [&](State& self) { self.options.onCameraLog(ip, line); });
        }
        static void result(const cu_result* r, void* user) {
            guard(user, [&](State& self) {
                if (self.options.onResult)
                    self.options.onResult(Result::from(*r));
            });
        }
    };

    void rethrowCallbackError() {
        std::exception_ptr thrown;
        {
            std::lock_guard<std::mutex> hold(m_state->lock);
            std::swap(thrown, m_state->thrown);
        }
        if (thrown != nullptr)
            std::rethrow_exception(thrown);
    }

    std::unique_ptr<State> m_state;
};

inline std::string version() { return cu_version(); }

// The words for a session state; empty beyond the table.
inline std::string stateWords(int state) { return text(cu_state_words(state, nullptr)); }
// Whether the session is over in that state.
inline bool stateFinal(int state) {
    int final = 0;
    cu_state_words(state, &final);
    return final != 0;
}

inline Identity info(const std::string& ip,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    cu_identity c{};
    c.struct_size = sizeof c;
    check(cu_info(ip.c_str(), static_cast<std::uint32_t>(timeout.count()), &c));
    return Identity::from(c);
}

inline std::vector<Identity> discover(const std::string& interfaceName = std::string(),
                                      std::chrono::milliseconds window = std::chrono::seconds(1)) {
    std::vector<Identity> found;
    auto add = [](const cu_identity* id, void* user) {
        static_cast<std::vector<Identity>*>(user)->push_back(Identity::from(*id));
    };
    check(cu_discover(interfaceName.c_str(), static_cast<std::uint32_t>(window.count()), add,
                      &found));
    return found;
}

// One row of the history; empty text and -1 where nothing was recorded.
struct HistoryRow {
    std::string started, ended, hostName, hostIp, user, toolVersion, libraryVersion;
    std::string camera, mac, serial, model;
    int kind = -1;
    std::string versionBefore, versionAfter, expectedVersion, package;
    std::int64_t packageSize = -1;
    std::string packageSha256, layout, verdict;
    int state = -1, exitCode = 0;
    std::string message;
    double seconds = 0;
    std::int64_t bytesServed = -1;
};

struct HistoryFilter {
    std::string camera, serial, since;  // empty: any
};

// What the host adds to the row of a result.
struct RecordInfo {
    int exitCode = 0;
    std::string toolVersion, expectedVersion;
    std::optional<std::string> packageSha256;  // unset: the library reads the package
    std::int64_t packageSize = -1;
};

// The history file the command records into; each call opens it afresh.
class History {
public:
    explicit History(std::string path = std::string()) : m_path(std::move(path)) {}
    static std::string defaultPath() { return cu_history_default_path(); }
    const std::string& path() const { return m_path; }

    // Opens (creates) it for writing; the notice of a damaged file moved aside, or "".
    std::string open() {
        const char* notice = nullptr;
        check(cu_history_open(cpath(), &notice));
        return text(notice);
    }
    // Records one result; the notice as open() gives it.
    std::string record(const Result& result, const RecordInfo& info) {
        cu_identity identities[2];
        cu_result r = result.toC(identities);
        cu_record_info c{};
        c.struct_size = sizeof c;
        c.exit_code = info.exitCode;
        c.tool_version = info.toolVersion.c_str();
        c.expected_version = info.expectedVersion.c_str();
        c.package_sha256 = info.packageSha256 ? info.packageSha256->c_str() : nullptr;
        c.package_size = info.packageSize;
        const char* notice = nullptr;
        check(cu_history_record(cpath(), &r, &c, &notice));
        return text(notice);
    }
    // Newest first.
    std::vector<HistoryRow> query(const HistoryFilter& filter = HistoryFilter()) const {
        cu_history_filter f{};
        f.struct_size = sizeof f;
        f.camera = filter.camera.c_str();
        f.serial = filter.serial.c_str();
        f.since = filter.since.c_str();
        std::vector<HistoryRow> rows;
        auto add = [](const cu_history_row* c, void* user) {
            static_cast<std::vector<HistoryRow>*>(user)->push_back(
                {text(c->started), text(c->ended), text(c->host_name), text(c->host_ip),
                 text(c->user), text(c->tool_version), text(c->library_version),
                 text(c->camera), text(c->mac), text(c->serial), text(c->model), c->kind,
                 text(c->version_before), text(c->version_after), text(c->expected_version),
                 text(c->package), c->package_size, text(c->package_sha256), text(c->layout),
                 text(c->verdict), c->state, c->exit_code, text(c->message), c->seconds,
                 c->bytes_served});
        };
        check(cu_history_query(cpath(), &f, add, &rows));
        return rows;
    }

private:
    const char* cpath() const { return m_path.empty() ? nullptr : m_path.c_str(); }
    std::string m_path;
};

}  // namespace camupgrade
