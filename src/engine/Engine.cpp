// Placeholder until the engine lands.
#include "engine/Engine.h"

#include "results.h"

namespace engine {

const char* phaseName(Phase) { return "queued"; }
const char* verdictName(Verdict) { return "failed"; }

void Cancel::request() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requested = true;
    }
    m_wake.notify_all();
}

bool Cancel::requested() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requested;
}

bool Cancel::waitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_wake.wait_for(guard, timeout, [this] { return m_requested; });
}

std::vector<CameraResult> runJob(const std::vector<CameraTarget>& targets, const JobOptions&,
                                 Observer*, const Cancel*) {
    std::vector<CameraResult> out;
    for (const CameraTarget& t : targets) {
        CameraResult r;
        r.cameraIp = t.cameraIp;
        r.name = t.name;
        r.message = "not implemented";
        out.push_back(r);
    }
    return out;
}

PreflightReport preflight(const CameraTarget&, const JobOptions&) {
    PreflightReport r;
    r.exitCode = EXIT_USAGE;
    r.message = "not implemented";
    return r;
}

const char* version() { return "0.2.0"; }

}  // namespace engine
