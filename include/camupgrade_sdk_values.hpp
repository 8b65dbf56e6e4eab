// camupgrade SDK for C++: the values the wrapper hands out (identities,
// statuses, results, plans) and its errors, made from the C API's structs.
// Included by camupgrade_sdk.hpp; not meant to be included alone.
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

}  // namespace camupgrade
