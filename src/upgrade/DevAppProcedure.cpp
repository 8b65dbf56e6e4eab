// DevApp: putting the camera into upgrade mode, following its reports, and
// following it through its restart.
#include "upgrade/DevApp.h"

#include "ManagerGigeProto.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "printfColor.h"
#include "session/SessionStates.h"
#include "tarnlog/LineOwner.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace {

constexpr std::uint16_t PERCENT_MASK = 0xFF00;

// What a console of the host's locale shows: the GBK code page on Windows,
// UTF-8 elsewhere (GBK bytes would be noise in terminals and log files).
const char* const kCameraGone = platform::kGbkConsole
                                    ? "\xcf\xe0\xbb\xfa\xd2\xd1\xbe\xad\xb6\xcf\xcf\xdf"
                                    : "相机已经断线";

int linkThreadEntry(DevApp* app) {
    if (app == nullptr)
        return -1;
    TARNlog4cpp::LineOwner owner(app->getDeviceIp());
    app->devLinkNotify();
    return 0;
}

}  // namespace

bool DevApp::startUpgrade(std::string packagePath, bool preUpgradeClear) {
    LOG_LINE("Begin update...\n");
    m_preUpgradeClear = preUpgradeClear;
    m_upgradeProgress = ST_CONNECTING;
    LOG_LINE("connect device success, environment preparing ...\n");
    init(packagePath);

    if (m_preUpgradeClear) {
        std::uint32_t length = 4;
        m_manager->writeReg(reg::PRE_UPGRADE_CLEAR, 0, &length);
    }

    start();
    // The session thread may already have moved on (upgrading, or failed to
    // command the camera); "ready" must not hide that.
    std::uint16_t expected = ST_CONNECTING;
    m_upgradeProgress.compare_exchange_strong(expected, ST_READY_SENDING);
    LOG_LINE("ready for file sending.\n");

    if (!m_linkThread.joinable() && !startLinkThread()) {
        LOG_LINE("create thread failed...\n");
        // Without link supervision nobody would start polling the camera and
        // the session would never reach a final state: end it here.
        stop();
        join();
        m_upgradeProgress = ST_INNER_ERROR;
        return false;
    }
    m_monitoring = true;
    return true;
}

bool DevApp::startLinkThread() {
    try {
        m_linkThread = std::thread(linkThreadEntry, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void DevApp::run() {
    TARNlog4cpp::LineOwner owner(m_deviceIp);
    // Nothing to serve before init has chosen the folder: nothing to command.
    if (isStop() || fwDir().empty())
        return;
    m_fileResult = 0;

    // Exactly 16 bytes: a 16-character address goes without terminator.
    char serverIp[16] = {};
    std::memcpy(serverIp, m_hostIp.data(), std::min(m_hostIp.size(), sizeof serverIp));
    std::uint32_t count = sizeof serverIp;
    if (!m_manager->writeMemory(reg::FILE_SERVER_IP, serverIp, &count)) {
        LOG_ERROR_("set tftp server IP fail...\n");
        m_upgradeProgress = ST_TIMEOUT;
        return;
    }
    std::uint32_t length = 4;
    if (!m_manager->writeReg(reg::UPGRADE_CMD, 1, &length)) {
        LOG_ERROR_("send upgrade command fail...\n");
        m_upgradeProgress = ST_TIMEOUT;
        return;
    }
    m_upgradeProgress = ST_UPGRADING;

    // Only updateProgress ends this wait (or the session going away).
    while (m_fileResult == 0) {
        if (isStop())
            return;
        platform::sleepMs(100);
    }
    if (m_fileResult == -1) {
        char text[1200];
        std::snprintf(text, sizeof text, "upgrade fail: %s fail\n", fwDir().c_str());
        LOG_ERROR_(text);
        // A failed folder keeps the polling on, so the camera's report stays
        // visible to the job.
        return;
    }
    m_monitoring = false;
}

void DevApp::updateProgress() {
    if (!m_monitoring)
        return;
    if (m_manager->isConnected()) {
        std::uint64_t value = 0;
        std::uint32_t length = 4;
        if (m_manager->readReg(reg::UPGRADE_STATUS, &value, &length)) {
            std::uint16_t word =
                static_cast<std::uint16_t>(ntohl(static_cast<std::uint32_t>(value)) & 0xFFFF);
            m_upgradeProgress = word;
            if (stateOf(word) == ST_SUCCESS)
                m_fileResult = 1;
            else if (stateOf(word) == ST_DEVICE_ERROR)
                m_fileResult = -1;
        } else {
            LOG_LINE("%s", kCameraGone);
        }
    }
    platform::sleepMs(10);
}

void DevApp::devLinkNotify() {
    while (m_manager->isConnected()) {
        if (m_linkStop)
            return;
        platform::sleepMs(20);
    }

    // Only a camera that is busy with the upgrade is expected back; the
    // percent stays so the host does not see the progress jump back.
    std::uint16_t word = m_upgradeProgress.load();
    std::uint16_t lost = 0;
    bool marked = false;
    for (;;) {
        int state = stateOf(word);
        if (state != ST_UPGRADING && state != ST_READY && state != ST_READY_SENDING)
            break;
        lost = static_cast<std::uint16_t>((word & PERCENT_MASK) | ST_LINK_LOST);
        if (m_upgradeProgress.compare_exchange_weak(word, lost)) {
            marked = true;
            break;
        }
    }
    if (marked) {
        LOG_LINE("device lost connection...\n");
        LOG_LINE("status word 0x%04x\n", static_cast<unsigned>(lost));
    }

    while (!m_manager->isConnected()) {
        if (m_linkStop)
            return;
        platform::sleepMs(100);
    }
    if (stateOf(m_upgradeProgress) != ST_LINK_LOST)
        return;
    LOG_LINE("device ON_LINE...\n");
    if (m_manager->connect(m_deviceIp.c_str()))
        LOG_LINE("device reconnected...\n");
    else
        LOG_LINE("device reconnect fail, please wait util the LED light change to BLUE, then "
                 "restart camera.\n");
}

std::uint16_t DevApp::getStatus() {
    if (!m_manager->isConnected())
        return ST_OFFLINE;
    return m_upgradeProgress;
}

std::string DevApp::getDeviceIp() {
    std::string ip;
    m_manager->getIpAddr(ip);
    return ip;
}

int DevApp::forceTerminer() {
    LOG_LINE("force terminer!\n");
    stopSend();
    m_upgradeProgress = ST_INNER_ERROR;
    return ST_INNER_ERROR;
}

int DevApp::ResetCamera() {
    std::uint32_t length = 4;
    m_manager->writeReg(reg::DEVICE_RESET, 1, &length);
    LOG_LINE("restart camera\n");
    return 0;
}
