// The two exported entry points: CamUpgrade is the upgrade engine's
// one-camera case, GetUpdateStatus reads what its job published.
#include "main.h"

#include "engine/Engine.h"
#include "platform/platform.h"
#include "printfColor.h"
#include "session/SessionStates.h"
#include "session/Worker.h"

#include <camupgrade.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <iostream>
#include <string>

std::atomic<std::int32_t> g_upgradeStatus{0};
std::atomic<std::uint32_t> g_upgradeProgress{0};

namespace {

constexpr unsigned kStatusPauseMs = 2000;

int upgrade(const char* hostIp, const char* deviceIp, const char* packagePath) {
    // Checked rather than trusted: a null or malformed argument would
    // otherwise crash the host or send the camera's traffic astray.
    if (hostIp == nullptr || deviceIp == nullptr || packagePath == nullptr) {
        camjob::setUpLogging();
        LOG_LINE("invalid argument: host ip \"%s\", camera ip \"%s\", package \"%s\"\n",
                 hostIp ? hostIp : "(null)", deviceIp ? deviceIp : "(null)",
                 packagePath ? packagePath : "(null)");
        return 0;
    }
    engine::JobOptions job;
    job.hostIp = hostIp;
    job.preflight = false;
    job.lostAfter = std::chrono::milliseconds(0);  // CamUpgrade waits out its deadline
    job.readIdentity = false;
    job.logging = engine::Logging::Specified;
    job.publishState = [](int state) { g_upgradeStatus.store(state); };
    job.endOnVerdict = false;
    job.explainNoControl = false;
    job.cameraPollMs = 2000;
    try {
        g_upgradeProgress.store(0);
        std::vector<engine::CameraResult> results =
            engine::runJob({engine::CameraTarget{deviceIp, packagePath, {}}}, job);
        const engine::CameraResult& r = results.front();
        if (r.reason == engine::Reason::PortUnavailable) {
            std::getchar();
            return 0;
        }
        if (r.reason == engine::Reason::Internal)
            throw std::runtime_error(r.message);
        return r.connected && r.released ? 1 : 0;
    } catch (const std::exception& e) {
        std::cout << "inner error" << 13 << e.what() << std::endl;
        return 1;
    }
}

}  // namespace

extern "C" CAMUPGRADE_API int CamUpgrade(const char* hostIp, const char* deviceIp,
                                         const char* packagePath) {
    return upgrade(hostIp, deviceIp, packagePath);
}

extern "C" CAMUPGRADE_API unsigned int GetUpdateStatus(void) {
    std::int32_t status = g_upgradeStatus.load();
    g_upgradeProgress.store(advanceProgress(status, g_upgradeProgress.load()));
    platform::sleepMs(kStatusPauseMs);
    return g_upgradeProgress.load();
}
