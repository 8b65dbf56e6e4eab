// The C entry points: each checks its handle and arguments, runs inside a
// guard that turns every exception into an error code, and leaves its
// detail for cu_last_error.
#include "camupgrade_sdk.h"

#include "discovery/Discovery.h"
#include "engine/Engine.h"
#include "platform/socket.h"
#include "session/SessionStates.h"
#include "sdk/Convert.h"
#include "sdk/Guard.h"
#include "sdk/Handles.h"
#include "sdk/Job.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

namespace {

thread_local std::string t_lastError;
thread_local std::string t_kept[2];

}  // namespace

cu_error sdk::report(const sdk::Failure& f) {
    try {
        t_lastError = f.detail;
    } catch (...) {
        t_lastError.clear();
    }
    return f.code;
}

const char* sdk::keep(int slot, const std::string& text) {
    t_kept[slot] = text;
    return t_kept[slot].c_str();
}

namespace {

using sdk::guarded;

const sdk::Failure kBadHandle{CU_ERR_HANDLE, "the job handle is null, freed or unknown"};

// Runs body(job) with the job held, or refuses the handle.
template <class F>
cu_error withJob(cu_job* handle, F&& body) noexcept {
    return guarded([&]() -> sdk::Failure {
        sdk::JobRef ref(handle);
        if (ref.get() == nullptr)
            return kBadHandle;
        return body(*ref.get());
    });
}

// Reads the caller's options: an older, smaller struct takes the defaults
// for what it lacks; a newer, larger one only when its unknown tail is zero.
sdk::Failure readOptions(const cu_options* in, cu_options* out) {
    *out = cu_options{};
    out->struct_size = sizeof *out;
    if (in == nullptr)
        return {CU_OK, {}};
    std::size_t size = in->struct_size;
    constexpr std::size_t first = offsetof(cu_options, expect_version);
    if (size < first)
        return {CU_ERR_STRUCT_SIZE, "cu_options.struct_size " + std::to_string(size) +
                                        " is below the first version's " + std::to_string(first)};
    const char* bytes = reinterpret_cast<const char*>(in);
    for (std::size_t i = sizeof *out; i < size; ++i)
        if (bytes[i] != 0)
            return {CU_ERR_STRUCT_SIZE,
                    "cu_options carries settings of a newer version that this library (" +
                        std::string(engine::version()) + ") cannot honour"};
    std::memcpy(out, in, std::min(size, sizeof *out));
    out->struct_size = sizeof *out;
    return {CU_OK, {}};
}

bool isHex(const char* text) {
    return std::strspn(text, "0123456789abcdefABCDEF") == std::strlen(text);
}

bool isSet(const char* text) { return text != nullptr && *text != '\0'; }

// The values the command's own arguments would refuse, refused the same way.
sdk::Failure checkOptions(const cu_options& o) {
    if (isSet(o.expect_version) && !engine::isDottedVersion(o.expect_version))
        return {CU_ERR_OPTION, std::string("expect_version \"") + o.expect_version +
                                   "\" is not a version of dotted numbers like 2.1.0"};
    if ((o.reinstall != 0 || o.allow_older != 0) && !isSet(o.expect_version))
        return {CU_ERR_OPTION, std::string(o.reinstall != 0 ? "reinstall" : "allow_older") +
                                   " goes with expect_version: without it no camera is skipped "
                                   "or refused for its version"};
    if (isSet(o.sha256) && (std::strlen(o.sha256) != 64 || !isHex(o.sha256)))
        return {CU_ERR_OPTION, "sha256 takes the package's digest as 64 hexadecimal digits"};
    // A read and its one retry must land inside the 3000 ms heartbeat timeout
    // the job writes to each camera.
    if (o.heartbeat_ms > 1500 && o.heartbeat_ms != CU_HEARTBEAT_BACK_TO_BACK)
        return {CU_ERR_OPTION, "heartbeat_ms " + std::to_string(o.heartbeat_ms) +
                                   " is above 1500: the camera would drop control between reads"};
    return {CU_OK, {}};
}

struct NetUse {
    NetUse() { platform::netStartup(); }
    ~NetUse() { platform::netCleanup(); }
};

}  // namespace

extern "C" {

CU_API const char* cu_version(void) { return engine::version(); }

CU_API const char* cu_strerror(int error) {
    static const char* const kSentences[] = {
        "success",
        "a required argument is missing or out of range",
        "the job handle is null, freed or unknown",
        "the struct's size is not one this library can read",
        "the camera address is not a dotted IPv4 address, or the camera is listed twice",
        "the package does not exist or cannot be read",
        "the job is running",
        "the job has already run",
        "the job was never started",
        "the job still runs",
        "a callback of the job cannot wait for or free its own job",
        "the camera does not answer",
        "the discovery could not be sent",
        "too many jobs exist at once",
        "an unexpected failure inside the library",
        "an option's value is unusable",
        "the history file cannot be used",
    };
    if (error < 0 || static_cast<std::size_t>(error) >= sizeof kSentences / sizeof kSentences[0])
        return "unknown error code";
    return kSentences[error];
}

CU_API const char* cu_last_error(void) { return t_lastError.c_str(); }

CU_API const char* cu_state_words(int state, int* final) {
    const SessionState* row = sessionState(state);
    if (final != nullptr)
        *final = row != nullptr && row->final ? 1 : 0;
    return row != nullptr ? row->words : nullptr;
}

CU_API cu_error cu_job_new(const cu_options* options, cu_job** job) {
    return guarded([&]() -> sdk::Failure {
        if (job == nullptr)
            return {CU_ERR_ARGUMENT, "the pointer for the new job is null"};
        *job = nullptr;
        cu_options o;
        sdk::Failure f = readOptions(options, &o);
        if (f.code == CU_OK)
            f = checkOptions(o);
        if (f.code != CU_OK)
            return f;
        auto made = std::make_unique<sdk::Job>(o);
        cu_job* handle = sdk::registerJob(made.get());
        if (handle == nullptr)
            return {CU_ERR_LIMIT, "4096 jobs exist already; free some first"};
        made.release();
        *job = handle;
        return {CU_OK, {}};
    });
}

CU_API cu_error cu_job_add_camera(cu_job* job, const char* camera_ip, const char* package,
                                  const char* name) {
    return withJob(job, [&](sdk::Job& j) { return j.add(camera_ip, package, name); });
}

CU_API cu_error cu_job_plan(cu_job* job, size_t index, cu_plan* plan) {
    return withJob(job, [&](sdk::Job& j) { return j.plan(index, plan); });
}

CU_API cu_error cu_job_start(cu_job* job) {
    return withJob(job, [&](sdk::Job& j) { return j.start(); });
}

CU_API cu_error cu_job_wait(cu_job* job, int32_t timeout_ms) {
    return withJob(job, [&](sdk::Job& j) { return j.wait(timeout_ms); });
}

CU_API cu_error cu_job_run(cu_job* job) {
    return withJob(job, [&](sdk::Job& j) {
        sdk::Failure f = j.start();
        return f.code == CU_OK ? j.wait(-1) : f;
    });
}

// No guard and no cu_last_error here: a signal handler may call it, so it
// allocates nothing and takes no lock.
CU_API cu_error cu_job_cancel(cu_job* job) {
    sdk::JobRef ref(job);
    if (ref.get() == nullptr)
        return CU_ERR_HANDLE;
    ref.get()->cancel();
    return CU_OK;
}

CU_API cu_error cu_job_result(cu_job* job, size_t index, cu_result* result) {
    return withJob(job, [&](sdk::Job& j) { return j.result(index, result); });
}

CU_API cu_error cu_job_free(cu_job* job) {
    return guarded([&]() -> sdk::Failure {
        {
            sdk::JobRef ref(job);
            if (ref.get() == nullptr)
                return kBadHandle;
            sdk::Failure f = ref.get()->finish();
            if (f.code != CU_OK)
                return f;
        }
        std::unique_ptr<sdk::Job> owned(sdk::unregisterJob(job));
        return owned != nullptr ? sdk::Failure{CU_OK, {}} : kBadHandle;
    });
}

CU_API cu_error cu_info(const char* camera_ip, uint32_t timeout_ms, cu_identity* identity) {
    return guarded([&]() -> sdk::Failure {
        if (camera_ip == nullptr || identity == nullptr)
            return {CU_ERR_ARGUMENT, "cu_info needs an address and an identity to fill"};
        if (!platform::isIpv4Text(camera_ip))
            return {CU_ERR_ADDRESS, std::string("\"") + camera_ip + "\" is not an IPv4 address"};
        NetUse net;
        discovery::Identity id;
        std::string error;
        auto timeout = std::chrono::milliseconds(timeout_ms != 0 ? timeout_ms : 1000);
        // The reader's sentence already names the camera and what went wrong.
        if (!discovery::readIdentity(camera_ip, id, &error, timeout))
            return {CU_ERR_NO_ANSWER, !error.empty() ? error
                                                     : std::string("camera ") + camera_ip +
                                                           " does not answer"};
        cu_identity full;
        sdk::toIdentity(id, &full);
        full.status_read = engine::readStatus(camera_ip, &full.state, &full.percent) ? 1 : 0;
        if (full.status_read == 0)
            full.state = -1;
        return sdk::fillOut(full, identity, offsetof(cu_identity, status_read));
    });
}

CU_API cu_error cu_discover(const char* interface_name, uint32_t window_ms, cu_found_fn found,
                            void* user) {
    return guarded([&]() -> sdk::Failure {
        if (found == nullptr)
            return {CU_ERR_ARGUMENT, "cu_discover needs a function to call per camera"};
        NetUse net;
        std::vector<discovery::Identity> cameras;
        std::string error;
        auto window = std::chrono::milliseconds(window_ms != 0 ? window_ms : 1000);
        if (!discovery::discover(cameras, interface_name != nullptr ? interface_name : "", window,
                                 &error))
            return {CU_ERR_NETWORK, "cannot send a discovery" + (error.empty() ? "" : ": " + error)};
        for (const auto& id : cameras) {
            cu_identity c;
            sdk::toIdentity(id, &c);
            found(&c, user);
        }
        return {CU_OK, {}};
    });
}

}  // extern "C"
