// Looking before the camera is commanded: reads only, no write to the camera.
#include "engine/Job.h"

#include "gvcp/Peek.h"
#include "gvcp/Registers.h"
#include "platform/files.h"
#include "platform/netinfo.h"
#include "platform/sha256.h"
#include "platform/socket.h"
#include "session/SessionStates.h"
#include "session/Worker.h"
#include "upgrade/PackagePlan.h"
#include "upgrade/UpdgradeManager.h"

#include <algorithm>
#include <filesystem>

namespace engine {

namespace {

// The first refusal stands; the plan goes on gathering what it can show.
void refuse(CameraPlan& r, std::string why, Reason reason = Reason::BadInput) {
    if (!r.message.empty())
        return;
    r.action = Action::Refuse;
    r.message = std::move(why);
    r.reason = reason;
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

namespace {

std::vector<ServedFile> filesIn(const std::string& dir) {
    std::vector<ServedFile> files;
    std::vector<platform::DirEntry> entries;
    if (!platform::readDirectory(dir, entries))
        return files;
    for (const platform::DirEntry& entry : entries) {
        std::error_code ec;
        auto size = std::filesystem::file_size(dir + platform::PATH_SEP + entry.name, ec);
        if (!entry.isDir && !ec)
            files.push_back({entry.name, static_cast<std::uint64_t>(size)});
    }
    std::sort(files.begin(), files.end(),
              [](const ServedFile& a, const ServedFile& b) { return a.name < b.name; });
    return files;
}

std::uint64_t folderSize(const std::string& dir) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError))
            total += it->file_size(sizeError);
    }
    return total;
}

// The package as a file or folder: size, digest, and the --sha256 check,
// before the camera is asked anything.
void checkPackage(CameraPlan& r, const JobOptions& options, Digests& digests, bool showDigest) {
    std::error_code ec;
    r.packageIsFolder = std::filesystem::is_directory(r.package, ec);
    if (!platform::pathExists(r.package))
        return refuse(r, "the package " + r.package + " does not exist");
    if (r.packageIsFolder) {
        r.packageSize = folderSize(r.package);
        if (!options.sha256.empty())
            refuse(r, "the package " + r.package + " is a folder: it has no SHA-256 to compare");
        return;
    }
    auto size = std::filesystem::file_size(r.package, ec);
    r.packageSize = ec ? 0 : static_cast<std::uint64_t>(size);
    if (!showDigest && options.sha256.empty())
        return;
    r.sha256 = digests.of(r.package);
    if (r.sha256.empty())
        return refuse(r, "cannot read the package " + r.package);
    if (!options.sha256.empty() && r.sha256 != options.sha256)
        refuse(r, "the package " + r.package + " has SHA-256 " + r.sha256 + ", not the expected " +
                      options.sha256);
}

void readCamera(CameraPlan& r, const JobOptions& options, int* kind) {
    *kind = gvcp::readKind(r.cameraIp, &r.answered);
    if (!r.answered)
        return refuse(r, "the camera at " + r.cameraIp + " does not answer", Reason::Unreachable);
    if (options.readIdentity)
        r.haveIdentity = discovery::readIdentity(r.cameraIp, r.identity);
    r.identity.kind = *kind;
    r.statusRead = readStatus(r.cameraIp, &r.state, &r.percent);
    r.busy = r.statusRead && r.state == ST_UPGRADING;
    if (r.busy)
        refuse(r, "the camera is busy with an earlier upgrade (" + std::to_string(r.percent) +
                      " %): not commanded; do not power it off, and try again once it is idle",
               Reason::CameraBusy);
}

// Unpacked once, before the camera is asked anything: the session serves
// what the plan looked at.
std::unique_ptr<package::Prepared> checkUsable(CameraPlan& r, const JobOptions& options,
                                               const void* owner) {
    std::unique_ptr<package::Prepared> unpacked =
        package::prepareTop(r.package, options.unpackRoot, owner, true);
    const package::Plan& plan = unpacked->plan;
    if (!plan.problem.empty())
        refuse(r, "the package " + r.package + " cannot be used: " + plan.problem);
    return unpacked;
}

// What the camera's kind gets of the package.
void checkLayout(CameraPlan& r, package::Prepared& unpacked, int kind) {
    package::prepareKind(unpacked, kind, true);
    const package::Plan& plan = unpacked.plan;
    r.layout = package::layoutName(plan.layout);
    if (plan.layout == package::Layout::PackageFolder) {
        refuse(r, "the package " + r.package + " cannot be used: " + plan.problem);
        return;
    }
    r.folder = plan.layout == package::Layout::PerKind ? plan.entry : "top level";
    r.files = filesIn(plan.dir);
    if (plan.layout == package::Layout::PerKind && plan.infoFile.empty())
        refuse(r, "the package's image for hardware kind " + std::to_string(kind) +
                      " holds no information file");
}

void guardVersion(CameraPlan& r, const JobOptions& options) {
    if (r.expectVersion.empty() || r.action == Action::Refuse)
        return;
    const std::string& now = r.identity.version;
    switch (compareVersions(now, r.expectVersion)) {
    case Order::Same:
        if (!options.reinstall) {
            r.action = Action::SkipCurrent;
            r.message = "already at the expected version " + r.expectVersion + ": not commanded";
        }
        break;
    case Order::Newer:
        if (!options.allowOlder)
            refuse(r, "the camera runs " + now + ", newer than the expected " + r.expectVersion +
                          ": not commanded (older firmware needs to be allowed)",
                   Reason::Newer);
        break;
    default:
        break;
    }
}

}  // namespace

std::string Digests::of(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto known = m_known.find(path);
    if (known != m_known.end())
        return known->second;
    std::string hex = platform::sha256File(path);  // empty when unreadable
    m_known[path] = hex;
    return hex;
}

bool readStatus(const std::string& cameraIp, int* state, int* percent) {
    gvcp::Peek peek(cameraIp);
    std::uint32_t value = 0;
    bool answered = false;
    if (!peek.read(reg::UPGRADE_STATUS, &value, &answered))
        return false;
    *state = static_cast<int>(value & 0xFF);
    *percent = static_cast<int>((value >> 8) & 0xFF);
    return true;
}

CameraPlan planCamera(const CameraTarget& target, const JobOptions& options, bool checkPort,
                      Digests& digests, bool showDigest,
                      std::unique_ptr<package::Prepared>* prepared) {
    CameraPlan r;
    r.action = Action::Upgrade;
    r.cameraIp = target.cameraIp;
    r.name = target.name;
    r.package = target.package;
    r.expectVersion = options.expectVersion;
    if (!platform::isIpv4Text(target.cameraIp.c_str()))
        refuse(r, "the camera address \"" + target.cameraIp + "\" is not an IPv4 address");
    std::string problem = hostProblem(target, options, &r.hostIp);
    if (!problem.empty())
        refuse(r, problem);
    if (r.action == Action::Refuse)
        return r;
    // A package nobody can use is the user's to mend, and costs no camera:
    // it is told first, and never shown to a camera.
    checkPackage(r, options, digests, showDigest);
    if (r.action == Action::Refuse)
        return r;
    std::unique_ptr<package::Prepared> unpacked = checkUsable(r, options, &target);
    if (r.action == Action::Refuse) {
        r.layout = package::layoutName(unpacked->plan.layout);
        return r;
    }

    int kind = 0;
    readCamera(r, options, &kind);
    if (r.answered)
        checkLayout(r, *unpacked, kind);
    guardVersion(r, options);
    if (checkPort && r.action == Action::Upgrade &&
        platform::udpPortFree(updgradeManager::FILE_SERVICE_PORT) != platform::PortCheck::Free)
        refuse(r, portProblem(), Reason::PortUnavailable);
    r.ok = r.action == Action::Upgrade;
    if (r.ok && prepared != nullptr)
        *prepared = std::move(unpacked);
    return r;
}

PreflightReport preflight(const CameraTarget& target, const JobOptions& options) {
    Digests digests;
    return planCamera(target, options, true, digests, false, nullptr);
}

std::vector<CameraPlan> plan(const std::vector<CameraTarget>& targets, const JobOptions& options) {
    camjob::initNetResource();
    Digests digests;
    std::vector<CameraPlan> plans;
    for (const CameraTarget& target : targets)
        plans.push_back(planCamera(target, options, false, digests, true, nullptr));
    camjob::deInitNetResource();
    return plans;
}

}  // namespace engine
