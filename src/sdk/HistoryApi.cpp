// The history for host programs: the same file and rows as the command's,
// each call opening the file for itself so that no handle can go stale.
#include "camupgrade_sdk.h"

#include "engine/Engine.h"
#include "history/History.h"
#include "platform/sha256.h"
#include "platform/utctime.h"
#include "platform/whoami.h"
#include "sdk/Guard.h"

#include <chrono>
#include <cstddef>
#include <cstring>

namespace {

using sdk::Failure;

std::string text(const char* s) { return s != nullptr ? s : ""; }

std::string pathOr(const char* path) {
    return path != nullptr && *path != '\0' ? std::string(path) : history::defaultPath();
}

std::string isoOf(std::int64_t ms) {
    return platform::isoUtc(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
}

// Reads a struct of the host's that may be older (smaller) than ours.
template <class T>
Failure readIn(const T* in, T* out, std::size_t first) {
    *out = T{};
    if (in == nullptr)
        return {CU_OK, {}};
    if (in->struct_size < first)
        return {CU_ERR_STRUCT_SIZE, "struct_size " + std::to_string(in->struct_size) +
                                        " is below the first version's " + std::to_string(first)};
    std::memcpy(out, in, std::min(in->struct_size, sizeof(T)));
    return {CU_OK, {}};
}

Failure opened(history::Store& store, const std::string& path, const char** notice) {
    std::string error, said;
    bool ok = store.openForWriting(path, &error, &said);
    if (notice != nullptr)
        *notice = sdk::keep(1, said);
    return ok ? Failure{CU_OK, {}} : Failure{CU_ERR_HISTORY, error};
}

history::Record rowOf(const cu_result& r, const cu_record_info& info) {
    const cu_identity* before = r.before;
    const cu_identity* after = r.after;
    const cu_identity* id = after != nullptr && before == nullptr ? after : before;
    bool v3 = r.struct_size > offsetof(cu_result, ended_ms);
    history::Record h;
    if (v3 && r.started_ms != 0) {
        h.started = isoOf(r.started_ms);
        h.ended = isoOf(r.ended_ms);
    } else {
        h.started = h.ended = platform::isoUtc(std::chrono::system_clock::now());
    }
    h.hostName = platform::hostName();
    h.hostIp = v3 ? text(r.host_ip) : "";
    h.user = platform::userName();
    h.toolVersion = text(info.tool_version);
    h.libraryVersion = engine::version();
    h.camera = text(r.camera_ip);
    if (id != nullptr) {
        h.mac = id->mac;
        h.serial = id->serial;
        h.model = id->model;
        h.kind = id->kind;
    }
    h.versionBefore = before != nullptr ? before->version : "";
    h.versionAfter = after != nullptr ? after->version : "";
    h.expectedVersion = text(info.expected_version);
    h.package = v3 ? text(r.package) : "";
    if (info.package_sha256 != nullptr) {
        h.packageSha256 = info.package_sha256;
        h.packageSize = info.package_size;
    } else if (!h.package.empty()) {
        std::uint64_t size = 0;
        h.packageSha256 = platform::sha256File(h.package, &size);
        h.packageSize = h.packageSha256.empty() ? -1 : static_cast<std::int64_t>(size);
    }
    h.layout = v3 ? text(r.layout) : "";
    h.verdict = text(r.verdict_name);
    h.state = r.state;
    h.exitCode = info.exit_code;
    h.message = text(r.message);
    h.seconds = r.seconds;
    h.bytesServed = static_cast<std::int64_t>(r.bytes_served);
    return h;
}

cu_history_row rowOf(const history::Record& r) {
    cu_history_row c{};
    c.struct_size = sizeof c;
    c.started = r.started.c_str();
    c.ended = r.ended.c_str();
    c.host_name = r.hostName.c_str();
    c.host_ip = r.hostIp.c_str();
    c.user = r.user.c_str();
    c.tool_version = r.toolVersion.c_str();
    c.library_version = r.libraryVersion.c_str();
    c.camera = r.camera.c_str();
    c.mac = r.mac.c_str();
    c.serial = r.serial.c_str();
    c.model = r.model.c_str();
    c.kind = r.kind;
    c.version_before = r.versionBefore.c_str();
    c.version_after = r.versionAfter.c_str();
    c.expected_version = r.expectedVersion.c_str();
    c.package = r.package.c_str();
    c.package_size = r.packageSize;
    c.package_sha256 = r.packageSha256.c_str();
    c.layout = r.layout.c_str();
    c.verdict = r.verdict.c_str();
    c.state = r.state;
    c.exit_code = r.exitCode;
    c.message = r.message.c_str();
    c.seconds = r.seconds;
    c.bytes_served = r.bytesServed;
    return c;
}

}  // namespace

extern "C" {

CU_API const char* cu_history_default_path(void) {
    try {
        return sdk::keep(0, history::defaultPath());
    } catch (...) {
        return "";
    }
}

CU_API cu_error cu_history_open(const char* path, const char** notice) {
    return sdk::guarded([&]() -> Failure {
        history::Store store;
        return opened(store, pathOr(path), notice);
    });
}

CU_API cu_error cu_history_record(const char* path, const cu_result* result,
                                  const cu_record_info* info, const char** notice) {
    return sdk::guarded([&]() -> Failure {
        if (result == nullptr)
            return {CU_ERR_ARGUMENT, "cu_history_record needs the result to record"};
        cu_result r{};
        Failure f = readIn(result, &r, offsetof(cu_result, downgraded));
        cu_record_info extra;
        if (f.code == CU_OK)
            f = readIn(info, &extra, sizeof(cu_record_info));
        if (info == nullptr)
            extra.package_size = -1;
        if (f.code != CU_OK)
            return f;
        history::Store store;
        f = opened(store, pathOr(path), notice);
        std::string error;
        if (f.code == CU_OK && !store.add(rowOf(r, extra), &error))
            return {CU_ERR_HISTORY, error};
        return f;
    });
}

CU_API cu_error cu_history_query(const char* path, const cu_history_filter* filter,
                                 cu_history_row_fn row, void* user) {
    return sdk::guarded([&]() -> Failure {
        if (row == nullptr)
            return {CU_ERR_ARGUMENT, "cu_history_query needs a function to call per row"};
        cu_history_filter in;
        Failure f = readIn(filter, &in, sizeof(cu_history_filter));
        if (f.code != CU_OK)
            return f;
        history::Filter wanted;
        wanted.camera = text(in.camera);
        wanted.serial = text(in.serial);
        if (in.since != nullptr && *in.since != '\0') {
            std::chrono::system_clock::time_point since;
            if (!platform::parseUtc(in.since, &since))
                return {CU_ERR_OPTION, std::string("since \"") + in.since +
                                           "\" is not a date like 2026-12-06 or "
                                           "2026-12-06T05:30:00Z (UTC)"};
            wanted.since = platform::isoUtc(since);
        }
        history::Store store;
        std::vector<history::Record> rows;
        std::string error;
        if (!store.openForReading(pathOr(path), &error) || !store.query(wanted, rows, &error))
            return {CU_ERR_HISTORY, error};
        for (const auto& r : rows) {
            cu_history_row c = rowOf(r);
            row(&c, user);
        }
        return {CU_OK, {}};
    });
}

}  // extern "C"
