// The exported entry points and the upgrade job.
#include "main.h"

#include "ManagerGigeProto.h"
#include "UpgradeJob.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "printfColor.h"
#include "upgrade/DevApp.h"
#include "upgrade/UpdgradeManager.h"

#include <camupgrade.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>

std::atomic<std::int32_t> g_upgradeStatus{0};
std::atomic<std::uint32_t> g_upgradeProgress{0};

namespace {

constexpr unsigned kStatusPauseMs = 2000;
const char* const kLogConfigFile = "SDKLOG_default.properties";

void logBanner(bool configLoaded) {
    const char* rule = "###########################################################################";
    LOG_LINE("%s", rule);
    LOG_LINE("%s", "#                                 Quillon\t\t\t\t\t\t\t  #");
    LOG_LINE("%s", rule);
    LOG_LINE("%s", configLoaded ? "use log configuration file" : "use default log configuration");
}

// Owns the job's sessions. Before they go, the dispatcher is made to forget
// them (its polling pass and file service end), so that no thread of the job
// can reach a session after it is deleted; sessions go before the
// dispatcher and the manager they refer to.
class Sessions {
public:
    explicit Sessions(updgradeManager& dispatcher) : m_dispatcher(dispatcher) {}
    ~Sessions() { clear(); }
    Sessions(const Sessions&) = delete;
    Sessions& operator=(const Sessions&) = delete;

    void add(DevApp* session) { m_list.push_back(session); }
    const std::vector<DevApp*>& list() const { return m_list; }
    void clear() {
        if (m_list.empty())
            return;
        m_dispatcher.stopServer();
        for (DevApp* session : m_list)
            delete session;
        m_list.clear();
    }

private:
    updgradeManager& m_dispatcher;
    std::vector<DevApp*> m_list;
};

// Joins the worker on every way out, an exception included.
class JoinOnExit {
public:
    explicit JoinOnExit(std::thread& t) : m_thread(t) {}
    ~JoinOnExit() {
        if (m_thread.joinable())
            m_thread.join();
    }
    JoinOnExit(const JoinOnExit&) = delete;
    JoinOnExit& operator=(const JoinOnExit&) = delete;

private:
    std::thread& m_thread;
};

int runGuarded(const char* hostIpText, const char* deviceIpText, const char* packagePath,
               const camjob::JobOptions& options) {
    g_upgradeProgress.store(0);
    camjob::initNetResource();

    std::string deviceIp(deviceIpText);
    std::string hostIp(hostIpText);
    std::map<std::string, std::string> jobTable{{deviceIp, packagePath}};

    managerGige manager;
    if (!manager.connect(deviceIp.c_str()))
        return 0;
    LOG_LINE("connect succeed\n");

    updgradeManager dispatcher;
    if (!dispatcher.startServer(packagePath, true)) {
        std::getchar();
        return 0;
    }

    Sessions sessions(dispatcher);
    for (std::size_t i = 0; i < jobTable.size(); ++i) {
        auto* session = new DevApp(&manager, hostIp, deviceIp);
        sessions.add(session);
        dispatcher.addDevice(session, packagePath, true);
    }

    std::promise<ResProcess> result;
    std::future<ResProcess> done = result.get_future();
    std::thread worker(camjob::process, sessions.list(), std::ref(result), std::cref(options));
    JoinOnExit joinWorker(worker);
    done.get();
    if (worker.joinable())
        worker.join();

    sessions.clear();
    if (!manager.disconnect())
        return 0;
    camjob::deInitNetResource();
    return 1;
}

}  // namespace

namespace camjob {

bool initNetResource() {
    if (platform::netStartup() != 0) {
        LOG_LINE("网络初始化失败，请重启软件");
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

int process(std::vector<DevApp*> devices, std::promise<ResProcess>& result,
            const JobOptions& options) {
    LOG_LINE("updating\n");
    ResProcess last = RES_FAL;
    auto deadline = std::chrono::steady_clock::now() + options.deadline;
    for (;;) {
        std::size_t finished = 0;
        for (DevApp* device : devices) {
            std::uint16_t word = device->getStatus();
            last = processRes(word);
            g_upgradeStatus.store(getProcessStatus(word));
            if (last == RES_FAL || last == RES_SUC)
                ++finished;
        }
        if (finished == devices.size())
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            last = processRes(ST_TIMEOUT);
            g_upgradeStatus.store(getProcessStatus(ST_TIMEOUT));
            break;
        }
        platform::sleepMs(options.pollMs);
    }
    result.set_value(last);
    return 0;
}

int runUpgradeJob(const char* hostIp, const char* deviceIp, const char* packagePath,
                  const JobOptions& options) {
    bool configLoaded = TARNlog4cpp::CTarnLog::LoadConfig(kLogConfigFile);
    if (!configLoaded)
        TARNlog4cpp::CTarnLog::LoadDefault();
    logBanner(configLoaded);
    // Checked here rather than trusted: a null or malformed argument would
    // otherwise crash the host or send the camera's traffic astray.
    if (!platform::isIpv4Text(hostIp) || !platform::isIpv4Text(deviceIp) || packagePath == nullptr) {
        LOG_LINE("invalid argument: host ip \"%s\", camera ip \"%s\", package \"%s\"\n",
                 hostIp ? hostIp : "(null)", deviceIp ? deviceIp : "(null)",
                 packagePath ? packagePath : "(null)");
        return 0;
    }
    try {
        return runGuarded(hostIp, deviceIp, packagePath, options);
    } catch (const std::exception& e) {
        std::cout << "inner error" << 13 << e.what() << std::endl;
        return 1;
    }
}

}  // namespace camjob

extern "C" CAMUPGRADE_API int CamUpgrade(const char* hostIp, const char* deviceIp,
                                         const char* packagePath) {
    return camjob::runUpgradeJob(hostIp, deviceIp, packagePath, camjob::JobOptions{});
}

extern "C" CAMUPGRADE_API unsigned int GetUpdateStatus(void) {
    std::int32_t status = g_upgradeStatus.load();
    g_upgradeProgress.store(advanceProgress(status, g_upgradeProgress.load()));
    platform::sleepMs(kStatusPauseMs);
    return g_upgradeProgress.load();
}
