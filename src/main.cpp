// The exported entry points, the job's worker and what one status word means
// to the job. The job itself is the upgrade engine's one-camera case.
#include "main.h"

#include "engine/Engine.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "printfColor.h"
#include "upgrade/DevApp.h"

#include <camupgrade.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

std::atomic<std::int32_t> g_upgradeStatus{0};
std::atomic<std::uint32_t> g_upgradeProgress{0};

namespace {

constexpr unsigned kStatusPauseMs = 2000;
const char* const kLogConfigFile = "SDKLOG_default.properties";

int stateOf(std::uint16_t word) { return word & 0xFF; }

}  // namespace

ResProcess processRes(std::uint16_t word) {
    const SessionState* row = sessionState(stateOf(word));
    if (row == nullptr)
        return RES_CONNECTING;
    if (row->message != nullptr)
        LOG_LINE("%s", row->message);
    return row->result;
}

int getProcessStatus(std::uint16_t word) {
    const SessionState* row = sessionState(stateOf(word));
    if (row == nullptr)
        return ST_UPGRADING;
    if (row->repeated)
        LOG_LINE("%s", row->message);
    return row->value;
}

namespace camjob {

bool initNetResource() {
#ifdef _WIN32
    // The code page a Windows console of that locale shows (GBK).
    static const char kNetFailed[] =
        "\xcd\xf8\xc2\xe7\xb3\xf5\xca\xbc\xbb\xaf\xca\xa7\xb0\xdc\xa3\xac\xc7\xeb\xd6\xd8\xc6\xf4"
        "\xc8\xed\xbc\xfe";
#else
    // UTF-8: what terminals and log files here show; GBK bytes would be noise.
    static const char kNetFailed[] = "网络初始化失败，请重启软件";
#endif
    if (platform::netStartup() != 0) {
        LOG_LINE("%s", kNetFailed);
        return false;
    }
    LOG_LINE("initResource() successed.\n");
    return true;
}

bool deInitNetResource() {
    LOG_LINE("CTftpSocket_New::deInitNetResource() successed...\n");
    platform::netCleanup();
    return true;
}

bool setUpLogging() {
    bool configLoaded = TARNlog4cpp::CTarnLog::LoadConfig(kLogConfigFile);
    if (!configLoaded)
        TARNlog4cpp::CTarnLog::LoadDefault();
    const char* rule = "###########################################################################";
    LOG_LINE_AS("CamUpgrade", "%s", rule);
    LOG_LINE_AS("CamUpgrade", "%s", "#                                 Quillon\t\t\t\t\t\t\t  #");
    LOG_LINE_AS("CamUpgrade", "%s", rule);
    LOG_LINE_AS("CamUpgrade", "%s",
                configLoaded ? "use log configuration file" : "use default log configuration");
    return configLoaded;
}

void logConnected() { LOG_LINE_AS("CamUpgrade", "connect succeed\n"); }

int process(std::vector<DevApp*> devices, std::promise<ResProcess>& result, const Watch& watch) {
    LOG_LINE("updating\n");
    ResProcess last = RES_FAL;
    for (;;) {
        std::size_t finished = 0;
        for (DevApp* device : devices) {
            std::uint16_t word = device->getStatus();
            if (watch.seen)
                watch.seen(word);
            last = processRes(word);
            int published = getProcessStatus(word);
            if (watch.publish)
                g_upgradeStatus.store(published);
            if (last == RES_FAL || last == RES_SUC)
                ++finished;
        }
        if (finished == devices.size())
            break;
        Pause outcome = Pause::Go;
        if (watch.pause)
            outcome = watch.pause(watch.period);
        else
            platform::sleepMs(static_cast<unsigned>(watch.period.count()));
        if (outcome == Pause::TimedOut) {
            last = processRes(ST_TIMEOUT);
            int published = getProcessStatus(ST_TIMEOUT);
            if (watch.publish)
                g_upgradeStatus.store(published);
            break;
        }
        if (outcome == Pause::Cancelled)
            break;
    }
    result.set_value(last);
    return 0;
}

int CamUpgrade(const char* hostIp, const char* deviceIp, const char* packagePath,
               const JobOptions& options) {
    // Checked rather than trusted: a null or malformed argument would
    // otherwise crash the host or send the camera's traffic astray.
    if (hostIp == nullptr || deviceIp == nullptr || packagePath == nullptr) {
        setUpLogging();
        LOG_LINE("invalid argument: host ip \"%s\", camera ip \"%s\", package \"%s\"\n",
                 hostIp ? hostIp : "(null)", deviceIp ? deviceIp : "(null)",
                 packagePath ? packagePath : "(null)");
        return 0;
    }
    engine::JobOptions job;
    job.hostIp = hostIp;
    job.inactivity = options.deadline;
    job.pollMs = options.pollMs;
    job.preflight = false;
    job.allowFallback = true;
    job.readIdentity = false;
    job.logging = engine::Logging::Specified;
    job.publishStatus = true;
    job.cameraPollMs = 2000;
    job.heartbeatMs = 0;
    try {
        g_upgradeProgress.store(0);
        std::vector<engine::CameraResult> results =
            engine::runJob({engine::CameraTarget{deviceIp, packagePath, {}}}, job);
        const engine::CameraResult& r = results.front();
        if (r.exitCode == EXIT_NO_FILE_SERVICE) {
            std::getchar();
            return 0;
        }
        return r.connected && r.released ? 1 : 0;
    } catch (const std::exception& e) {
        std::cout << "inner error" << 13 << e.what() << std::endl;
        return 1;
    }
}

}  // namespace camjob

extern "C" CAMUPGRADE_API int CamUpgrade(const char* hostIp, const char* deviceIp,
                                         const char* packagePath) {
    return camjob::CamUpgrade(hostIp, deviceIp, packagePath, camjob::JobOptions{});
}

extern "C" CAMUPGRADE_API unsigned int GetUpdateStatus(void) {
    std::int32_t status = g_upgradeStatus.load();
    g_upgradeProgress.store(advanceProgress(status, g_upgradeProgress.load()));
    platform::sleepMs(kStatusPauseMs);
    return g_upgradeProgress.load();
}
