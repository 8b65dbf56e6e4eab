#include "sdk/Convert.h"

#include <algorithm>
#include <cstring>

namespace sdk {

namespace {

using Clock = std::chrono::steady_clock;

template <std::size_t N>
void copyText(char (&to)[N], const std::string& from) {
    std::size_t n = std::min(from.size(), N - 1);
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

const char* textOr(const std::string& s) { return s.c_str(); }

std::int64_t msOf(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

cu_status statusOf(const engine::CameraStatus& s, std::size_t index) {
    cu_status c{};
    c.struct_size = sizeof c;
    c.index = index;
    c.camera_ip = textOr(s.cameraIp);
    c.name = textOr(s.name);
    c.phase = phaseOf(s.phase);
    c.phase_name = engine::phaseName(s.phase);
    c.state = s.state;
    c.percent = s.percent;
    c.link_up = s.linkUp ? 1 : 0;
    c.file = textOr(s.file);
    c.file_bytes = s.fileBytes;
    c.file_size = s.fileSize;
    c.bytes_served = s.bytesServed;
    c.bytes_per_second = s.bytesPerSecond;
    c.silent_seconds = s.lastSign == Clock::time_point()
                           ? -1.0
                           : std::chrono::duration<double>(Clock::now() - s.lastSign).count();
    return c;
}

cu_result resultOf(const engine::CameraResult& r, std::size_t index, const cu_identity* identities,
                   const std::string& package) {
    cu_result c{};
    c.struct_size = sizeof c;
    c.index = index;
    c.camera_ip = textOr(r.cameraIp);
    c.name = textOr(r.name);
    c.verdict = verdictOf(r.verdict);
    c.verdict_name = engine::verdictName(r.verdict);
    c.reason = reasonOf(r.reason);
    c.state = r.state;
    c.message = textOr(r.message);
    c.connected = r.connected ? 1 : 0;
    c.commanded = r.commanded ? 1 : 0;
    c.released = r.released ? 1 : 0;
    c.before = r.haveBefore ? &identities[0] : nullptr;
    c.after = r.haveAfter ? &identities[1] : nullptr;
    c.bytes_served = r.bytesServed;
    c.seconds = r.seconds;
    c.downgraded = r.downgraded ? 1 : 0;
    c.host_ip = textOr(r.hostIp);
    c.layout = textOr(r.layout);
    c.package = textOr(package);
    c.started_ms = msOf(r.started);
    c.ended_ms = msOf(r.ended);
    return c;
}

int actionOf(engine::Action action) {
    switch (action) {
    case engine::Action::Upgrade:
        return CU_ACTION_UPGRADE;
    case engine::Action::SkipCurrent:
        return CU_ACTION_CURRENT;
    case engine::Action::Refuse:
        break;
    }
    return CU_ACTION_REFUSE;
}

void toIdentities(const engine::CameraResult& r, cu_identity* identities) {
    toIdentity(r.before, &identities[0]);
    toIdentity(r.after, &identities[1]);
}

void toIdentity(const discovery::Identity& from, cu_identity* to) {
    *to = cu_identity{};
    to->struct_size = sizeof *to;
    copyText(to->ip, from.ip);
    copyText(to->mac, from.mac);
    copyText(to->manufacturer, from.manufacturer);
    copyText(to->model, from.model);
    copyText(to->version, from.version);
    copyText(to->manufacturer_info, from.manufacturerInfo);
    copyText(to->serial, from.serial);
    copyText(to->user_name, from.userName);
    to->kind = from.kind;
    to->kind_register = from.kindRegister;
    to->state = -1;
}

int reasonOf(engine::Reason reason) {
    using engine::Reason;
    switch (reason) {
    case Reason::None:
        return CU_REASON_NONE;
    case Reason::BadInput:
        return CU_REASON_BAD_INPUT;
    case Reason::Unreachable:
        return CU_REASON_UNREACHABLE;
    case Reason::ControlDenied:
        return CU_REASON_CONTROL_DENIED;
    case Reason::PortUnavailable:
        return CU_REASON_PORT;
    case Reason::Busy:
        return CU_REASON_BUSY;
    case Reason::SessionFailed:
        return CU_REASON_CAMERA_STATE;
    case Reason::NotReleased:
        return CU_REASON_NOT_RELEASED;
    case Reason::Cancelled:
        return CU_REASON_CANCELLED;
    case Reason::Internal:
        return CU_REASON_INTERNAL;
    case Reason::CameraBusy:
        return CU_REASON_CAMERA_BUSY;
    case Reason::Newer:
        return CU_REASON_NEWER;
    case Reason::WrongVersion:
        return CU_REASON_WRONG_VERSION;
    case Reason::Lost:
        return CU_REASON_LOST;
    case Reason::HeldBack:
        return CU_REASON_HELD_BACK;
    case Reason::NoVerdict:
        break;
    }
    return CU_REASON_NO_VERDICT;
}

int phaseOf(engine::Phase phase) {
    using engine::Phase;
    switch (phase) {
    case Phase::Queued:
        return CU_PHASE_QUEUED;
    case Phase::Checking:
        return CU_PHASE_CHECKING;
    case Phase::Connecting:
        return CU_PHASE_CONNECTING;
    case Phase::Preparing:
        return CU_PHASE_PREPARING;
    case Phase::Waiting:
        return CU_PHASE_WAITING;
    case Phase::Transfer:
        return CU_PHASE_TRANSFER;
    case Phase::Lost:
        return CU_PHASE_LOST;
    case Phase::Flashing:
        return CU_PHASE_FLASHING;
    case Phase::Restarting:
        return CU_PHASE_RESTARTING;
    case Phase::BackOnline:
        return CU_PHASE_BACK_ONLINE;
    case Phase::Releasing:
        return CU_PHASE_RELEASING;
    case Phase::Done:
        break;
    }
    return CU_PHASE_DONE;
}

int verdictOf(engine::Verdict verdict) {
    using engine::Verdict;
    switch (verdict) {
    case Verdict::Upgraded:
        return CU_VERDICT_UPGRADED;
    case Verdict::Refused:
        return CU_VERDICT_REFUSED;
    case Verdict::Cancelled:
        return CU_VERDICT_CANCELLED;
    case Verdict::Current:
        return CU_VERDICT_CURRENT;
    case Verdict::NotStarted:
        return CU_VERDICT_NOT_STARTED;
    case Verdict::Failed:
        break;
    }
    return CU_VERDICT_FAILED;
}

}  // namespace sdk
