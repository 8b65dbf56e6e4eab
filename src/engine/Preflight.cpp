// Looking before the camera is commanded: reads only, no write to the camera.
#include "engine/Job.h"

#include "ManagerGigeProto.h"
#include "platform/files.h"
#include "platform/netinfo.h"
#include "platform/socket.h"
#include "results.h"
#include "upgrade/DevApp.h"
#include "upgrade/GigEProtocol.h"
#include "upgrade/PackagePlan.h"
#include "upgrade/UpdgradeManager.h"

#include <atomic>
#include <chrono>
#include <filesystem>

namespace engine {

namespace {

// Register reads from any host, without taking control: a camera answers
// them whoever holds it.
class Peek {
public:
    explicit Peek(const std::string& ip)
        : m_socket(platform::udpSocket()), m_protocol(m_socket) {
        m_protocol.setAddress(ip.c_str(), managerGige::GVCP_PORT);
    }
    ~Peek() { platform::closeSocket(m_protocol.releaseSocket()); }
    Peek(const Peek&) = delete;
    Peek& operator=(const Peek&) = delete;

    // True with the value in host order. *answered tells a camera that said
    // no from one that said nothing.
    bool read(std::uint32_t address, std::uint32_t* value, bool* answered) {
        ReadRegRequest request{};
        ReadRegAck ack{};
        request.count = 1;
        request.address[0] = address;
        request.header.flags = GVCP_FLAG_ACK_REQUIRED;
        bool ok = m_protocol.readReg(request, ack);
        *answered = ok || ack.header.status != GEV_STATUS_TIMEOUT;
        if (ok)
            *value = ntohl(ack.value[0]);
        return ok;
    }

private:
    platform::socket_t m_socket;
    CGigEProtocol m_protocol;
};

PreflightReport refuse(PreflightReport r, std::string why, int exitCode = EXIT_USAGE) {
    r.ok = false;
    r.message = std::move(why);
    r.exitCode = exitCode;
    return r;
}

// A folder of our own to look into the package, removed when done.
class ScratchFolder {
public:
    ScratchFolder() {
        static std::atomic<unsigned> counter{1};
        std::string base;
        if (!platform::tempPath(base))
            return;
        std::string quarnel =
            base + (platform::endsWithSeparator(base) ? "Quarnel.tmp" : "/Quarnel.tmp");
        if (platform::ensurePrivateDir(quarnel) != platform::DirCheck::Ok)
            return;
        auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = quarnel + platform::PATH_SEP + "check_" + std::to_string(counter++) + "_" +
                 std::to_string(static_cast<unsigned long long>(ticks));
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string hostProblem(const CameraTarget& target, const JobOptions& options, std::string* host) {
    *host = options.hostIp;
    if (host->empty()) {
        if (!platform::routeSource(target.cameraIp, *host))
            return "this machine has no route to the camera at " + target.cameraIp;
        return std::string();
    }
    if (!platform::isIpv4Text(host->c_str()))
        return "the host address \"" + *host + "\" is not an IPv4 address";
    if (!platform::isLocalAddress(*host))
        return "the host address " + *host +
               " is not an address of this machine (the camera fetches its firmware from it)";
    return std::string();
}

}  // namespace

std::string portProblem() {
    switch (platform::udpPortFree(updgradeManager::FILE_SERVICE_PORT)) {
    case platform::PortCheck::InUse:
        return "UDP port 69 is held by another program: another upgrade on this host, or a TFTP "
               "server";
    case platform::PortCheck::NoPermission:
        return "binding UDP port 69 needs root, CAP_NET_BIND_SERVICE, or "
               "net.ipv4.ip_unprivileged_port_start at 69 or below";
    default:
        return "UDP port 69 could not be bound";
    }
}

std::string whyNoControl(const std::string& cameraIp, int* exitCode) {
    *exitCode = EXIT_UNREACHABLE;
    Peek peek(cameraIp);
    std::uint32_t ccp = 0;
    bool answered = false;
    peek.read(managerGige::REG_CCP, &ccp, &answered);
    if (answered)
        return "the camera at " + cameraIp + " refused control (another application holds it)";
    return "the camera at " + cameraIp + " does not answer";
}

int readKind(const std::string& cameraIp, bool* answered) {
    Peek peek(cameraIp);
    std::uint32_t value = 0;
    if (!peek.read(DevApp::DEV_TYPE_REG, &value, answered))
        return 0;  // as the session takes it
    return value == 0x1A4 ? 1 : 0;
}

PreflightReport preflightCamera(const CameraTarget& target, const JobOptions& options,
                                bool checkPort) {
    PreflightReport r;
    if (!platform::isIpv4Text(target.cameraIp.c_str()))
        return refuse(r, "the camera address \"" + target.cameraIp + "\" is not an IPv4 address");
    std::string problem = hostProblem(target, options, &r.hostIp);
    if (!problem.empty())
        return refuse(r, problem);
    if (!platform::pathExists(target.package))
        return refuse(r, "the package " + target.package + " does not exist");

    bool answered = false;
    int kind = readKind(target.cameraIp, &answered);
    if (!answered)
        return refuse(r, "the camera at " + target.cameraIp + " does not answer", EXIT_UNREACHABLE);

    ScratchFolder scratch;
    package::Plan plan = package::plan(target.package, scratch.path(), kind);
    r.layout = package::layoutName(plan.layout);
    if (plan.layout == package::Layout::PackageFolder && !options.allowFallback)
        return refuse(r, "the package " + target.package + " cannot be used: " + plan.problem);
    if (plan.layout == package::Layout::PerKind && plan.infoFile.empty())
        return refuse(r, "the package's image for hardware kind " + std::to_string(kind) +
                             " holds no information file");

    if (checkPort && platform::udpPortFree(updgradeManager::FILE_SERVICE_PORT) !=
                         platform::PortCheck::Free)
        return refuse(r, portProblem(), EXIT_NO_FILE_SERVICE);

    if (options.readIdentity)
        discovery::readIdentity(target.cameraIp, r.identity);
    r.identity.kind = kind;
    r.ok = true;
    return r;
}

PreflightReport preflight(const CameraTarget& target, const JobOptions& options) {
    return preflightCamera(target, options, true);
}

}  // namespace engine
