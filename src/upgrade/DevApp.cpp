// DevApp: construction, destruction and the preparation of the firmware
// package (unpacking and the choice of the folder the camera is served from).
#include "upgrade/DevApp.h"

#include "ManagerGigeProto.h"
#include "main.h"
#include "platform/files.h"
#include "printfColor.h"
#include "upgrade/PackagePlan.h"
#include "upgrade/UdpSock.h"

#include <cinttypes>
#include <filesystem>
#include <system_error>

std::atomic<std::int32_t> g_tmpDirCount{1};

namespace {

// Whether anything, a dangling link included, holds the name.
bool isLeftover(const std::string& path) {
    std::error_code ec;
    return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found;
}

}  // namespace

DevApp::DevApp(managerGige* manager, std::string hostIp, std::string deviceIp)
    : m_manager(manager), m_hostIp(std::move(hostIp)), m_deviceIp(std::move(deviceIp)) {
    m_preUpgradeClear = true;
    m_udpSocket = std::make_unique<CUdpSocket>(this);
    m_sending = false;
    m_upgradeProgress = ST_READY;
    m_monitoring = false;
    m_file = nullptr;
    m_tmpDir.clear();
}

DevApp::~DevApp() {
    // Both session threads first: they use the manager, the socket and the
    // paths below. Their waits look at the stop flags at least every 100 ms.
    m_linkStop = true;
    if (m_linkThread.joinable())
        m_linkThread.join();
    stopAndJoin();

    {
        // A late acknowledgement waiting for the lock gives up once nothing
        // is being sent, so the socket's receive thread can be joined here;
        // from then on no transfer entry runs.
        std::lock_guard<std::recursive_mutex> lock(m_transferLock);
        m_sending = false;
        m_udpSocket.reset();
    }
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    removeDir(m_tmpDir.c_str());
}

std::string DevApp::fwDir() const {
    std::lock_guard<std::mutex> lock(m_pathLock);
    return m_fwDir;
}

void DevApp::init(const std::string& packagePath) {
    m_fwDirs.clear();
    m_deviceType = getDevType();
    makeTmpDir(packagePath);
    // Whatever goes wrong in the plan, the camera is served from the
    // package's own folder.
    package::Plan plan = package::plan(packagePath, m_tmpDir, m_deviceType, m_acceptFolders);
    if (plan.threeD)
        LOG_LINE("this is 3D Camera\n");
    m_fwDirs.push_back(plan.dir);
    std::lock_guard<std::mutex> lock(m_pathLock);
    m_fwDir = platform::withTrailingSlash(plan.dir);
}

void DevApp::makeTmpDir(std::string packagePath) {
    const std::int32_t number = g_tmpDirCount.fetch_add(1);

    // The system's temporary folder is shared with every local user, so our
    // folder in it must be a real folder of ours that nobody else can enter;
    // otherwise someone could swap a firmware file before it is served.
    auto privateBase = [](const std::string& base, std::string& out) {
        out = base + (platform::endsWithSeparator(base) ? "Quarnel.tmp" : "/Quarnel.tmp");
        platform::DirCheck check = platform::ensurePrivateDir(out);
        if (check == platform::DirCheck::Ok)
            return true;
        LOG_LINE("not using temporary folder %s: %s\n", out.c_str(),
                 platform::dirCheckText(check));
        return false;
    };

    std::string base;
    std::string quarnel;
    bool ok = platform::tempPath(base) && privateBase(base, quarnel);
    if (!ok) {
        std::string::size_type cut = packagePath.rfind('/');
        base = cut == std::string::npos ? packagePath : packagePath.substr(0, cut);
        ok = privateBase(base, quarnel);
    }
    if (!ok) {
        // Nowhere safe to unpack: init serves the package folder.
        m_tmpDir.clear();
        return;
    }

    char name[64];
    std::snprintf(name, sizeof name, "%c0x%.8" PRIx32 "_%" PRId32, platform::PATH_SEP,
                  static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this)), number);
    m_tmpDir = quarnel + name;
    if (!clearLeftover(m_tmpDir))
        m_tmpDir.clear();
}

// A process killed in the middle of a job leaves its folder behind, and a
// later one with the same address and number would unpack over it, stale
// files included: a stale information file would switch the layout. A
// folder of ours goes; anything else at that name is left alone and unused.
bool DevApp::clearLeftover(const std::string& dir) {
    if (!isLeftover(dir))
        return true;
    platform::DirCheck check = platform::ensurePrivateDir(dir);
    if (check == platform::DirCheck::Ok)
        removeDir(dir.c_str());
    if (!isLeftover(dir))
        return true;
    LOG_LINE("not using unpack folder %s: %s\n", dir.c_str(),
             check == platform::DirCheck::Ok ? "it could not be emptied"
                                             : platform::dirCheckText(check));
    return false;
}

std::int32_t DevApp::getDevType() {
    std::uint64_t value = 0;
    std::uint32_t length = 4;
    if (!m_manager->readReg(DEV_TYPE_REG, &value, &length))
        return 0;
    return ntohl(static_cast<std::uint32_t>(value)) == 0x1A4 ? 1 : 0;
}

void DevApp::removeDir(const char* path) {
    if (path == nullptr || *path == '\0')
        return;
    std::string dir = path;
    std::string prefix = platform::endsWithSeparator(dir) ? dir : dir + platform::PATH_SEP;
    std::vector<platform::DirEntry> entries;
    if (platform::readDirectory(dir, entries)) {
        for (const platform::DirEntry& entry : entries) {
            // The listing holds no "." or ".."; a folder whose name starts
            // with a dot comes from the package and goes like any other.
            if (!entry.isDir)
                platform::deleteFile(prefix + entry.name);  // links too, never their targets
            else if (entry.name != "." && entry.name != "..")
                removeDir((prefix + entry.name).c_str());
        }
    }
    platform::removeEmptyDir(dir);
}
