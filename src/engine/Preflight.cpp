// Looking before the camera is commanded: reads only, no write to the camera.
#include "engine/Job.h"

#include "gvcp/Peek.h"
#include "gvcp/Registers.h"
#include "platform/files.h"
#include "platform/netinfo.h"
#include "platform/socket.h"
#include "upgrade/PackagePlan.h"
#include "upgrade/UpdgradeManager.h"

#include <fstream>

namespace engine {

namespace {

PreflightReport refuse(PreflightReport r, std::string why, Reason reason = Reason::BadInput) {
    r.ok = false;
    r.message = std::move(why);
    r.reason = reason;
    return r;
}

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

std::string packageProblem(const std::string& package) {
    if (!platform::pathExists(package))
        return "the package " + package + " does not exist";
    if (!std::ifstream(package, std::ios::binary))
        return "cannot read the package " + package;
    return std::string();
}

}  // namespace

std::string portProblem() {
    switch (platform::udpPortFree(updgradeManager::FILE_SERVICE_PORT)) {
    case platform::PortCheck::InUse:
        return "UDP port 69 is in use by another program on this host (another upgrade, or a TFTP "
               "server): the cameras fetch their firmware from it, so it must be free during the "
               "upgrade";
    case platform::PortCheck::NoPermission:
        return "UDP port 69 (the firmware file service) needs privilege: run as root, give the "
               "program CAP_NET_BIND_SERVICE (setcap cap_net_bind_service=ep camupgrade), or "
               "lower net.ipv4.ip_unprivileged_port_start to 69";
    default:
        return "UDP port 69 could not be bound";
    }
}

std::string whyNoControl(const std::string& cameraIp, Reason* reason) {
    gvcp::Peek peek(cameraIp);
    std::uint32_t ccp = 0;
    bool answered = false;
    peek.read(reg::CCP, &ccp, &answered);
    *reason = answered ? Reason::ControlDenied : Reason::Unreachable;
    if (answered)
        return "the camera at " + cameraIp + " refused control (another application holds it)";
    return "the camera at " + cameraIp + " does not answer";
}

PreflightReport preflightCamera(const CameraTarget& target, const JobOptions& options,
                                bool checkPort, std::unique_ptr<package::Prepared>* prepared) {
    PreflightReport r;
    if (!platform::isIpv4Text(target.cameraIp.c_str()))
        return refuse(r, "the camera address \"" + target.cameraIp + "\" is not an IPv4 address");
    std::string problem = hostProblem(target, options, &r.hostIp);
    if (problem.empty())
        problem = packageProblem(target.package);
    if (!problem.empty())
        return refuse(r, problem);

    // The kind is read once: with the identity when that is read anyway.
    bool answered = false;
    int kind = 0;
    if (options.readIdentity) {
        answered = discovery::readIdentity(target.cameraIp, r.identity);
        kind = r.identity.kind > 0 ? r.identity.kind : 0;
    }
    if (!answered)
        kind = gvcp::readKind(target.cameraIp, &answered);
    if (!answered)
        return refuse(r, "the camera at " + target.cameraIp + " does not answer", Reason::Unreachable);

    // Unpacked once: the session serves what the check looked at.
    std::unique_ptr<package::Prepared> unpacked =
        package::prepare(target.package, options.unpackRoot, kind, &target);
    const package::Plan& plan = unpacked->plan;
    r.layout = package::layoutName(plan.layout);
    if (plan.layout == package::Layout::PackageFolder && !options.allowFallback)
        return refuse(r, "the package " + target.package + " cannot be used: " + plan.problem);
    if (plan.layout == package::Layout::PerKind && plan.infoFile.empty())
        return refuse(r, "the package's image for hardware kind " + std::to_string(kind) +
                             " holds no information file");

    if (checkPort && platform::udpPortFree(updgradeManager::FILE_SERVICE_PORT) !=
                         platform::PortCheck::Free)
        return refuse(r, portProblem(), Reason::PortUnavailable);

    r.identity.kind = kind;
    r.ok = true;
    if (prepared != nullptr)
        *prepared = std::move(unpacked);
    return r;
}

PreflightReport preflight(const CameraTarget& target, const JobOptions& options) {
    return preflightCamera(target, options, true, nullptr);
}

}  // namespace engine
