// Looking before the camera is commanded: reads only, no write to the camera.
#include "engine/Job.h"

#include "ManagerGigeProto.h"
#include "engine/Sha256.h"
#include "main.h"
#include "platform/files.h"
#include "platform/netinfo.h"
#include "platform/socket.h"
#include "results.h"
#include "upgrade/DevApp.h"
#include "upgrade/GigEProtocol.h"
#include "upgrade/PackagePlan.h"
#include "upgrade/UpdgradeManager.h"

#include <algorithm>
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

// The first refusal stands; the plan goes on gathering what it can show.
void refuse(CameraPlan& r, std::string why, int exitCode = EXIT_USAGE,
            Reason reason = Reason::BadInput) {
    if (!r.message.empty())
        return;
    r.action = Action::Refuse;
    r.message = std::move(why);
    r.exitCode = exitCode;
    r.reason = reason;
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
    *kind = readKind(r.cameraIp, &r.answered);
    if (!r.answered)
        return refuse(r, "the camera at " + r.cameraIp + " does not answer", EXIT_UNREACHABLE,
                      Reason::Unreachable);
    if (options.readIdentity)
        r.haveIdentity = discovery::readIdentity(r.cameraIp, r.identity);
    r.identity.kind = *kind;
    r.statusRead = readStatus(r.cameraIp, &r.state, &r.percent);
    r.busy = r.statusRead && r.state == ST_UPGRADING;
    if (r.busy)
        refuse(r, "the camera is busy with an earlier upgrade (" + std::to_string(r.percent) +
                      " %): not commanded; do not power it off, and try again once it is idle",
               EXIT_USAGE, Reason::CameraBusy);
}

void checkLayout(CameraPlan& r, int kind) {
    ScratchFolder scratch;
    package::Plan unpacked = package::plan(r.package, scratch.path(), kind, true);
    r.layout = package::layoutName(unpacked.layout);
    if (unpacked.layout == package::Layout::PackageFolder)
        return refuse(r, "the package " + r.package + " cannot be used: " + unpacked.problem);
    r.folder = unpacked.layout == package::Layout::PerKind ? unpacked.entry : "top level";
    r.files = filesIn(unpacked.dir);
    if (unpacked.layout == package::Layout::PerKind && unpacked.infoFile.empty())
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
                   EXIT_USAGE, Reason::Newer);
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
    std::string hex;
    if (!sha256OfFile(path, &hex))
        hex.clear();
    m_known[path] = hex;
    return hex;
}

bool readStatus(const std::string& cameraIp, int* state, int* percent) {
    Peek peek(cameraIp);
    std::uint32_t value = 0;
    bool answered = false;
    if (!peek.read(DevApp::UPGRADE_STATUS_REG, &value, &answered))
        return false;
    *state = static_cast<int>(value & 0xFF);
    *percent = static_cast<int>((value >> 8) & 0xFF);
    return true;
}

CameraPlan planCamera(const CameraTarget& target, const JobOptions& options, bool checkPort,
                      Digests& digests, bool showDigest) {
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
    checkPackage(r, options, digests, showDigest);
    if (r.action == Action::Refuse)
        return r;  // a package refused on its own is never shown to a camera

    int kind = 0;
    readCamera(r, options, &kind);
    if (r.answered)
        checkLayout(r, kind);
    guardVersion(r, options);
    if (checkPort && r.action == Action::Upgrade &&
        platform::udpPortFree(updgradeManager::FILE_SERVICE_PORT) != platform::PortCheck::Free)
        refuse(r, portProblem(), EXIT_NO_FILE_SERVICE, Reason::PortUnavailable);
    r.ok = r.action == Action::Upgrade;
    return r;
}

PreflightReport preflight(const CameraTarget& target, const JobOptions& options) {
    Digests digests;
    return planCamera(target, options, true, digests, false);
}

std::vector<CameraPlan> plan(const std::vector<CameraTarget>& targets, const JobOptions& options) {
    camjob::initNetResource();
    Digests digests;
    std::vector<CameraPlan> plans;
    for (const CameraTarget& target : targets)
        plans.push_back(planCamera(target, options, false, digests, true));
    camjob::deInitNetResource();
    return plans;
}

}  // namespace engine
