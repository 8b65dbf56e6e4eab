// DevApp: construction, destruction and the preparation of the firmware
// package (unpacking and the choice of the folder the camera is served from).
#include "upgrade/DevApp.h"

#include "ManagerGigeProto.h"
#include "platform/files.h"
#include "printfColor.h"
#include "session/SessionStates.h"
#include "upgrade/PackagePlan.h"
#include "upgrade/UdpSock.h"

DevApp::DevApp(managerGige* manager, std::string hostIp, std::string deviceIp)
    : m_manager(manager), m_hostIp(std::move(hostIp)), m_deviceIp(std::move(deviceIp)) {
    m_preUpgradeClear = true;
    m_udpSocket = std::make_unique<CUdpSocket>(
        CUdpSocket::Owner::Session,
        [this](const char* data, std::uint32_t length, const char* fromIp, std::uint16_t fromPort) {
            msgProc(data, length, fromIp, fromPort);
        });
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
    package::removeTree(m_tmpDir);
}

std::string DevApp::fwDir() const {
    std::lock_guard<std::mutex> lock(m_pathLock);
    return m_fwDir;
}

void DevApp::usePrepared(std::unique_ptr<package::Prepared> prepared) {
    m_prepared = std::move(prepared);
}

void DevApp::init(const std::string& packagePath) {
    if (m_prepared == nullptr) {
        m_deviceType = getDevType();
        m_prepared = package::prepare(packagePath, m_unpackRoot, m_deviceType, this);
    }
    // The folder is the session's from here: it goes with the session.
    m_deviceType = m_prepared->kind;
    m_tmpDir = std::move(m_prepared->unpackDir);
    m_prepared->unpackDir.clear();
    // Whatever goes wrong in the plan, the camera is served from the
    // package's own folder.
    const package::Plan& plan = m_prepared->plan;
    if (plan.threeD)
        LOG_LINE("this is 3D Camera\n");
    std::lock_guard<std::mutex> lock(m_pathLock);
    m_fwDir = platform::withTrailingSlash(plan.dir);
}

std::int32_t DevApp::getDevType() {
    std::uint64_t value = 0;
    std::uint32_t length = 4;
    if (!m_manager->readReg(reg::KIND, &value, &length))
        return 0;
    return reg::kindOf(ntohl(static_cast<std::uint32_t>(value)));
}
