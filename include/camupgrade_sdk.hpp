// camupgrade SDK for C++: a header-only wrapper over the C API of
// camupgrade_sdk.h, with RAII, std::string, std::function and std::chrono.
//
// Errors of the C API become camupgrade::Error. A callback that throws ends
// nothing by itself: the wrapper catches the exception, cancels the job (the
// cameras are released as by cancel()) and wait()/run() throw it again once
// the job has ended. Callbacks run on the job's delivery thread, one at a time.
#pragma once

#include "camupgrade_sdk.h"

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

class Error : public std::runtime_error {
public:
    explicit Error(cu_error code)
        : std::runtime_error(describe(code)), m_code(code) {}
    cu_error code() const { return m_code; }

private:
    static std::string describe(cu_error code) {
        std::string detail = cu_last_error();
        return detail.empty() ? cu_strerror(code) : detail;
    }
    cu_error m_code;
};

inline void check(cu_error code) {
    if (code != CU_OK)
        throw Error(code);
}

inline std::string text(const char* s) { return s != nullptr ? s : ""; }

// Whether a struct the library filled reaches up to `member`'s end.
template <class T, class M>
bool covers(const T& c, M T::*member) {
    static const T probe{};
    auto offset = reinterpret_cast<const char*>(&(probe.*member)) -
                  reinterpret_cast<const char*>(&probe);
    return c.struct_size >= static_cast<std::size_t>(offset) + sizeof(M);
}

using WallClock = std::chrono::system_clock;

struct Identity {
    std::string ip, mac, manufacturer, model, version, manufacturerInfo, serial, userName;
    int kind = -1;
    std::uint32_t kindRegister = 0;
    // The status register, as info() reads it.
    bool statusRead = false;
    int state = -1, percent = 0;

    static Identity from(const cu_identity& c) {
        Identity id{c.ip,     c.mac,       c.manufacturer, c.model,         c.version,
                    c.manufacturer_info, c.serial, c.user_name, c.kind, c.kind_register};
        if (covers(c, &cu_identity::percent) && c.status_read != 0) {
            id.statusRead = true;
            id.state = c.state;
            id.percent = c.percent;
        }
        return id;
    }
    cu_identity toC() const {
        cu_identity c{};
        c.struct_size = sizeof c;
        put(c.ip, ip);
        put(c.mac, mac);
        put(c.manufacturer, manufacturer);
        put(c.model, model);
        put(c.version, version);
        put(c.manufacturer_info, manufacturerInfo);
        put(c.serial, serial);
        put(c.user_name, userName);
        c.kind = kind;
        c.kind_register = kindRegister;
        c.status_read = statusRead ? 1 : 0;
        c.state = state;
        c.percent = percent;
        return c;
    }
    template <std::size_t N>
    static void put(char (&to)[N], const std::string& from) {
        from.copy(to, N - 1);
        to[std::min(from.size(), N - 1)] = '\0';
    }
    static std::optional<Identity> from(const cu_identity* c) {
        return c != nullptr ? std::optional<Identity>(from(*c)) : std::nullopt;
    }
};

struct Status {
    std::size_t index = 0;
    std::string cameraIp, name;
    cu_phase phase = CU_PHASE_QUEUED;
    std::string phaseName;
    int state = -1, percent = 0;
    bool linkUp = false;
    std::string file;
    std::uint64_t fileBytes = 0, fileSize = 0, bytesServed = 0;
    double bytesPerSecond = 0;
    std::optional<std::chrono::duration<double>> silent;  // since the last sign of life

    static Status from(const cu_status& c) {
        Status s;
        s.index = c.index;
        s.cameraIp = text(c.camera_ip);
        s.name = text(c.name);
        s.phase = static_cast<cu_phase>(c.phase);
        s.phaseName = text(c.phase_name);
        s.state = c.state;
        s.percent = c.percent;
        s.linkUp = c.link_up != 0;
        s.file = text(c.file);
        s.fileBytes = c.file_bytes;
        s.fileSize = c.file_size;
        s.bytesServed = c.bytes_served;
        s.bytesPerSecond = c.bytes_per_second;
        if (c.silent_seconds >= 0)
            s.silent = std::chrono::duration<double>(c.silent_seconds);
        return s;
    }
};

struct Result {
    std::size_t index = 0;
    std::string cameraIp, name;
    cu_verdict verdict = CU_VERDICT_FAILED;
    std::string verdictName;
    cu_reason reason = CU_REASON_NO_VERDICT;
    int state = -1;
    std::string message;
    bool connected = false, commanded = false, released = true;
    std::optional<Identity> before, after;
    std::uint64_t bytesServed = 0;
    std::chrono::duration<double> seconds{0};
    bool downgraded = false;  // after->version is older than before->version
    std::string hostIp, layout, package;
    WallClock::time_point started, ended;  // the epoch when the camera never started

    bool upgraded() const { return verdict == CU_VERDICT_UPGRADED; }

    static Result from(const cu_result& c) {
        Result r;
        r.index = c.index;
        r.cameraIp = text(c.camera_ip);
        r.name = text(c.name);
        r.verdict = static_cast<cu_verdict>(c.verdict);
        r.verdictName = text(c.verdict_name);
        r.reason = static_cast<cu_reason>(c.reason);
        r.state = c.state;
        r.message = text(c.message);
        r.connected = c.connected != 0;
        r.commanded = c.commanded != 0;
        r.released = c.released != 0;
        r.before = Identity::from(c.before);
        r.after = Identity::from(c.after);
        r.bytesServed = c.bytes_served;
        r.seconds = std::chrono::duration<double>(c.seconds);
        r.downgraded = covers(c, &cu_result::downgraded) && c.downgraded != 0;
        if (covers(c, &cu_result::ended_ms)) {
            r.hostIp = text(c.host_ip);
            r.layout = text(c.layout);
            r.package = text(c.package);
            r.started = WallClock::time_point(std::chrono::milliseconds(c.started_ms));
            r.ended = WallClock::time_point(std::chrono::milliseconds(c.ended_ms));
        }
        return r;
    }
    // A view for the C API; `identities` holds the before and after it points to.
    cu_result toC(cu_identity (&identities)[2]) const {
        cu_result c{};
        c.struct_size = sizeof c;
        c.index = index;
        c.camera_ip = cameraIp.c_str();
        c.name = name.c_str();
        c.verdict = verdict;
        c.verdict_name = verdictName.c_str();
        c.reason = reason;
        c.state = state;
        c.message = message.c_str();
        c.connected = connected;
        c.commanded = commanded;
        c.released = released;
        if (before)
            c.before = &(identities[0] = before->toC());
        if (after)
            c.after = &(identities[1] = after->toC());
        c.bytes_served = bytesServed;
        c.seconds = seconds.count();
        c.downgraded = downgraded;
        c.host_ip = hostIp.c_str();
        c.layout = layout.c_str();
        c.package = package.c_str();
        auto ms = [](WallClock::time_point t) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch())
                .count();
        };
        c.started_ms = ms(started);
        c.ended_ms = ms(ended);
        return c;
    }
};

struct File {
    std::string name;
    std::uint64_t size = 0;
};

struct Plan {
    std::size_t index = 0;
    bool ok = false;
    cu_reason reason = CU_REASON_NONE;
    std::string message, hostIp, layout;
    std::optional<Identity> identity;
    cu_action action = CU_ACTION_REFUSE;
    // What the plan read (an older library leaves these empty).
    std::string cameraIp, name;
    bool answered = false, statusRead = false, busy = false;
    int state = -1, percent = 0;
    std::string package;
    bool packageIsFolder = false;
    std::uint64_t packageSize = 0;
    std::string sha256, folder;
    std::vector<File> files;
    std::string expectVersion;

    static Plan from(const cu_plan& c) {
        Plan p;
        p.index = c.index;
        p.ok = c.ok != 0;
        p.reason = static_cast<cu_reason>(c.reason);
        p.message = text(c.message);
        p.hostIp = text(c.host_ip);
        p.layout = text(c.layout);
        p.identity = Identity::from(c.identity);
        p.action = covers(c, &cu_plan::action) ? static_cast<cu_action>(c.action)
                                               : (p.ok ? CU_ACTION_UPGRADE : CU_ACTION_REFUSE);
        if (!covers(c, &cu_plan::expect_version))
            return p;
        p.cameraIp = text(c.camera_ip);
        p.name = text(c.name);
        p.answered = c.answered != 0;
        p.statusRead = c.status_read != 0;
        p.busy = c.busy != 0;
        p.state = c.state;
        p.percent = c.percent;
        p.package = text(c.package);
        p.packageIsFolder = c.package_is_folder != 0;
        p.packageSize = c.package_size;
        p.sha256 = text(c.sha256);
        p.folder = text(c.folder);
        for (std::size_t i = 0; i < c.file_count && c.files != nullptr; ++i)
            p.files.push_back({text(c.files[i].name), c.files[i].size});
        p.expectVersion = text(c.expect_version);
        return p;
    }
};

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
