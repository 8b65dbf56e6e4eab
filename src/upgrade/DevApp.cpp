// DevApp: construction, destruction and the preparation of the firmware
// package (unpacking and the choice of the folder the camera is served from).
#include "upgrade/DevApp.h"

#include "ManagerGigeProto.h"
#include "main.h"
#include "compress/DeCompress.h"
#include "platform/files.h"
#include "printfColor.h"
#include "upgrade/UdpSock.h"

#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <system_error>

std::atomic<std::int32_t> g_tmpDirCount{1};

namespace {

// Names of the information file that marks a single-image package.
const char* const kInfoFiles[] = {
    "gige_ip_core_app_upd.info",
    "cameralink_ip_core_app_upd.info",
    "app_upd.info",
};

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

    // Whatever goes wrong below, the camera is served from the package's own
    // folder.
    std::string::size_type cut = packagePath.rfind(platform::PATH_SEP);
    std::string dir = cut == std::string::npos ? packagePath : packagePath.substr(0, cut);

    if (unpackFile(packagePath, m_tmpDir)) {
        bool singleImage = false;
        for (const char* name : kInfoFiles) {
            if (isFileExist(m_tmpDir.c_str(), name)) {
                singleImage = true;
                break;
            }
        }
        if (singleImage) {
            dir = m_tmpDir;
        } else {
            // One inner archive per hardware kind; "-D" in the name marks
            // kind 1, except that "KX-D" (the 3D line) is taken by kind 0.
            std::vector<std::string> entries;
            listDir(m_tmpDir.c_str(), entries);
            const std::string* chosen = nullptr;
            for (const std::string& entry : entries) {
                bool dMark = entry.find("-D") != std::string::npos;
                if ((m_deviceType == 0 && !dMark) || (m_deviceType == 1 && dMark)) {
                    chosen = &entry;
                    break;
                }
                if (m_deviceType == 0 && entry.find("KX-D") != std::string::npos) {
                    LOG_LINE("this is 3D Camera\n");
                    chosen = &entry;
                    break;
                }
            }
            if (chosen != nullptr) {
                std::string upgradeDir = m_tmpDir + "/upgrade";
                if (unpackFile(*chosen, upgradeDir))
                    dir = upgradeDir;
            }
        }
    }

    m_fwDirs.push_back(dir);
    std::lock_guard<std::mutex> lock(m_pathLock);
    m_fwDir = platform::withTrailingSlash(dir);
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

bool DevApp::unpackFile(std::string archive, std::string destDir) {
    char dest[1024] = {};
    // A longer destination is refused rather than cut to some other folder.
    if (destDir.empty() || destDir.size() >= sizeof dest)
        return false;
    std::memcpy(dest, destDir.data(), destDir.size());

    COMPRESS::CDeCompress* unpacker =
        COMPRESS::CDeCompressFactory::getCDeCompress(COMPRESS::DECOMPRESS_AUTO);
    if (unpacker == nullptr)
        return false;
    bool ok = unpacker->open(archive.c_str(), static_cast<std::int32_t>(archive.size())) == 0;
    std::int32_t item = -1;
    ok = ok && unpacker->selectItem(item);
    ok = ok
         && unpacker->extract(item, {dest, static_cast<std::int32_t>(std::strlen(dest))});
    COMPRESS::CDeCompressFactory::deleteCDeCompress(unpacker);
    return ok;
}

bool DevApp::listDir(const char* dir, std::vector<std::string>& out) {
    out.clear();
    std::vector<platform::DirEntry> entries;
    if (dir == nullptr || !platform::readDirectory(dir, entries))
        return false;
    for (const platform::DirEntry& entry : entries)
        out.push_back(std::string(dir) + platform::PATH_SEP + entry.name);
    return true;
}

bool DevApp::isFileExist(const char* dir, const char* name) {
    std::string path = dir;
    if (!platform::endsWithSeparator(path))
        path += platform::PATH_SEP;
    return platform::pathExists(path + name);
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
