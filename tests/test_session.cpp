// The upgrade procedure against a fake camera on loopback: the commands it
// sends, the reports it copies, and how it follows a camera that restarts.
#include "ManagerGigeProto.h"
#include "session/SessionStates.h"
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "support/Wait.h"
#include "upgrade/DevApp.h"
#include "upgrade/UpdgradeManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using camtest::FakeGvcpCamera;
using camtest::GvcpRequest;
using camtest::waitUntil;
using camtest::Words;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t CCP = managerGige::REG_CCP;
constexpr std::uint16_t CMD_WRITEMEM = 0x0086;

// The camera side of one session: a fake camera under control of a manager.
struct Rig {
    explicit Rig(const std::string& ip, std::uint32_t devType = 0x2A5) : camera(ip) {
        camera.setRegister(DevApp::DEV_TYPE_REG, devType);
        camera.setRegister(DevApp::UPGRADE_STATUS_REG, 0);
        EXPECT_TRUE(camera.ok());
        EXPECT_TRUE(manager.connect(ip.c_str()));
        camera.clearRequests();
    }
    // What the session asked for.
    std::vector<GvcpRequest> session() const { return camera.requestsBesidesHeartbeat(); }
    std::size_t statusReads() const {
        std::size_t n = 0;
        for (const GvcpRequest& r : camera.requests())
            n += r.isReadOf(DevApp::UPGRADE_STATUS_REG) ? 1 : 0;
        return n;
    }
    void report(std::uint16_t word) { camera.setRegister(DevApp::UPGRADE_STATUS_REG, word); }

    FakeGvcpCamera camera;
    managerGige manager;
};

// A session whose link supervision cannot start.
class NoLinkThread : public DevApp {
public:
    using DevApp::DevApp;

private:
    bool startLinkThread() override { return false; }
};

}  // namespace

TEST(Session, CommandsTheCameraAndCopiesItsReports) {
    Rig rig("127.0.3.10");
    DevApp app(&rig.manager, "127.0.3.1", "127.0.3.10");
    EXPECT_EQ(app.getDeviceIp(), "127.0.3.10");
    ASSERT_TRUE(app.startUpgrade("/nonexistent/pkg.bin", true));
    ASSERT_TRUE(waitUntil([&] { return app.getStatus() == ST_UPGRADING; }, 3000));

    // Kind, pre-upgrade clear, server address (zero-padded), command.
    std::vector<GvcpRequest> sent = rig.session();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_TRUE(sent[0].isReadOf(DevApp::DEV_TYPE_REG));
    EXPECT_EQ(sent[1].words, (Words{reg::PRE_UPGRADE_CLEAR, 0}));
    EXPECT_EQ(sent[2].command, CMD_WRITEMEM);
    EXPECT_EQ(sent[2].words, Words{reg::FILE_SERVER_IP});
    std::vector<std::uint8_t> padded(16, 0);
    std::memcpy(padded.data(), "127.0.3.1", 9);
    EXPECT_EQ(sent[2].data, padded);
    EXPECT_EQ(sent[3].words, (Words{reg::UPGRADE_CMD, 1}));

    // Reports go into the status word as they are; 0 ends the polling.
    rig.report(0x2504);
    app.updateProgress();
    EXPECT_EQ(app.getStatus(), 0x2504);
    rig.report(0x6400);
    app.updateProgress();
    EXPECT_EQ(app.getStatus(), 0x6400);
    // Once run has seen the end, monitoring is off and nothing is read.
    ASSERT_TRUE(waitUntil(
        [&] {
            std::size_t reads = rig.statusReads();
            app.updateProgress();
            return rig.statusReads() == reads;
        },
        3000));
    rig.report(0x0003);
    app.updateProgress();
    EXPECT_EQ(app.getStatus(), 0x6400);
}

TEST(Session, FailuresOfTheCameraAndOfTheCommands) {
    Rig rig("127.0.3.11");
    camtest::LogCapture log;
    {
        // A 16-character address goes without terminator; a reported
        // failure names the folder and leaves the polling on.
        DevApp app(&rig.manager, "127.100.100.1001", "127.0.3.11");
        ASSERT_TRUE(app.startUpgrade("/nonexistent/pkg.bin", false));
        ASSERT_TRUE(waitUntil([&] { return app.getStatus() == ST_UPGRADING; }, 3000));
        std::vector<GvcpRequest> sent = rig.session();
        ASSERT_EQ(sent.size(), 3u) << "no pre-upgrade clear";
        EXPECT_EQ(std::string(sent[1].data.begin(), sent[1].data.end()), "127.100.100.1001");

        rig.report(0x1203);
        app.updateProgress();
        EXPECT_EQ(app.getStatus(), 0x1203);
        EXPECT_TRUE(waitUntil(
            [&] { return log.count("] [ERROR] upgrade fail: /nonexistent/ fail\n\n") > 0; }, 2000));
        rig.report(0x1303);
        app.updateProgress();
        EXPECT_EQ(app.getStatus(), 0x1303);
    }
    rig.camera.clearRequests();
    rig.camera.setStatusFor(reg::FILE_SERVER_IP, FakeGvcpCamera::STATUS_ACCESS_DENIED);
    {
        DevApp app(&rig.manager, "127.0.3.1", "127.0.3.11");
        ASSERT_TRUE(app.startUpgrade("/nonexistent/pkg.bin", false));
        EXPECT_TRUE(waitUntil([&] { return app.getStatus() == ST_TIMEOUT; }, 3000));
        EXPECT_EQ(log.count("] [ERROR] set tftp server IP fail...\n"), 1u);
    }
    for (const GvcpRequest& r : rig.session())
        EXPECT_FALSE(r.isWriteOf(reg::UPGRADE_CMD)) << "no command after a failed address";
    rig.camera.setStatusFor(reg::FILE_SERVER_IP, 0);
    rig.camera.setStatusFor(reg::UPGRADE_CMD, FakeGvcpCamera::STATUS_ACCESS_DENIED);
    {
        DevApp app(&rig.manager, "127.0.3.1", "127.0.3.11");
        ASSERT_TRUE(app.startUpgrade("/nonexistent/pkg.bin", false));
        EXPECT_TRUE(waitUntil([&] { return app.getStatus() == ST_TIMEOUT; }, 3000));
        EXPECT_EQ(log.count("] [ERROR] send upgrade command fail...\n"), 1u);
    }
}

// The camera restarts in the middle: the back-to-back heartbeat sees it go
// after its time-out, not sooner, the percent is kept and control is taken
// again at its first answer. Once it has reported its end, a restart is no
// link loss.
TEST(Session, LinkLossKeepsThePercentAndReconnectsUntilTheEnd) {
    Rig rig("127.0.3.12");
    camtest::LogCapture log;
    DevApp app(&rig.manager, "127.0.3.1", "127.0.3.12");
    ASSERT_TRUE(app.startUpgrade("/nonexistent/pkg.bin", false));
    ASSERT_TRUE(waitUntil([&] { return app.getStatus() == ST_UPGRADING; }, 3000));
    rig.report(0x2504);
    app.updateProgress();

    rig.camera.setSilent(true);  // restarting
    auto gone = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return !rig.manager.isConnected(); }, 8000));
    EXPECT_GT(Clock::now() - gone, 2900ms);
    EXPECT_LT(Clock::now() - gone, 6000ms);
    EXPECT_EQ(log.count("] device heartbeat timeout:3000\n"), 1u);
    ASSERT_TRUE(waitUntil([&] { return log.count("] device lost connection...\n") > 0; }, 8000));
    EXPECT_EQ(log.count("] status word 0x250a\n"), 1u) << "37 << 8 | 10";
    EXPECT_EQ(app.getStatus(), ST_OFFLINE);
    std::size_t reads = rig.statusReads();
    app.updateProgress();
    EXPECT_EQ(rig.statusReads(), reads) << "nothing is read while the link is down";

    rig.camera.clearRequests();
    rig.camera.setSilent(false);
    auto back = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return rig.manager.isConnected(); }, 4000));
    EXPECT_LT(Clock::now() - back, 2500ms);
    ASSERT_TRUE(waitUntil([&] { return log.count("] device reconnected...\n") > 0; }, 8000));
    EXPECT_EQ(log.count("] device ON_LINE...\n"), 1u);
    bool controlTaken = false;
    for (const GvcpRequest& r : rig.session())
        controlTaken = controlTaken || r.isWriteOf(CCP);
    EXPECT_TRUE(controlTaken);
    EXPECT_EQ(app.getStatus(), 0x250A) << "kept until the camera reports again";
    rig.report(0x3004);
    app.updateProgress();
    EXPECT_EQ(app.getStatus(), 0x3004);

    rig.report(0x0003);
    app.updateProgress();
    log.take();
    rig.camera.setSilent(true);
    ASSERT_TRUE(waitUntil([&] { return !rig.manager.isConnected(); }, 8000));
    EXPECT_EQ(app.getStatus(), ST_OFFLINE);
    rig.camera.clearRequests();
    rig.camera.setSilent(false);
    ASSERT_TRUE(waitUntil([&] { return rig.manager.isConnected(); }, 8000));
    std::this_thread::sleep_for(300ms);  // the link thread's poll
    EXPECT_EQ(app.getStatus(), 0x0003);
    EXPECT_EQ(log.count("] device lost connection...\n"), 0u);
    EXPECT_EQ(log.count("] device ON_LINE...\n"), 0u);
    for (const GvcpRequest& r : rig.session())
        EXPECT_FALSE(r.isWriteOf(CCP)) << "no reconnection";
}

TEST(Session, EndsEvenWhenTheCameraNeverAnswers) {
    Rig rig("127.0.3.14", 0x1A4);
    camtest::LogCapture log;
    {
        // Destroyed while run waits for a report and the link thread watches.
        DevApp app(&rig.manager, "127.0.3.1", "127.0.3.14");
        ASSERT_TRUE(app.startUpgrade("/nonexistent/pkg.bin", false));
        ASSERT_TRUE(waitUntil([&] { return app.getStatus() == ST_UPGRADING; }, 3000));
    }
    {
        // Without link supervision nobody would poll: the session ends.
        NoLinkThread app(&rig.manager, "127.0.3.1", "127.0.3.14");
        EXPECT_FALSE(app.startUpgrade("/nonexistent/pkg.bin", false));
        EXPECT_EQ(log.count("] create thread failed...\n"), 1u);
        EXPECT_EQ(app.getStatus(), ST_INNER_ERROR);
        rig.report(0x0000);
        app.updateProgress();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(app.getStatus(), ST_INNER_ERROR);
    }
    {
        // No folder: run returns at once and commands nothing.
        rig.camera.clearRequests();
        DevApp app(&rig.manager, "127.0.3.1", "127.0.3.14");
        app.start();
        app.join();
        EXPECT_TRUE(rig.session().empty());
    }
}

// Each status poll comes its full period after the previous one ended, also
// when that one waited for a late answer (as a camera answers while it
// writes its flash).
TEST(Session, StatusPollsComeAPeriodAfterTheLastAnswer) {
    Rig rig("127.0.3.15");
    DevApp app(&rig.manager, "127.0.3.1", "127.0.3.15");
    updgradeManager service;
    ASSERT_TRUE(service.startServer(std::string(), false));  // polls, serves nothing
    rig.report(0x0504);
    rig.camera.answerNextReadLate(DevApp::UPGRADE_STATUS_REG, 1500);
    ASSERT_TRUE(service.addDevice(&app, "/nonexistent/pkg.bin", false));
    ASSERT_TRUE(waitUntil([&] { return rig.statusReads() >= 3; }, 12000));
    service.removeDevice(&app);

    std::vector<GvcpRequest> reads;
    for (const GvcpRequest& r : rig.camera.requests())
        if (r.isReadOf(DevApp::UPGRADE_STATUS_REG))
            reads.push_back(r);
    EXPECT_GE(reads[1].at - (reads[0].at + 1500ms), 2000ms);
    EXPECT_GE(reads[2].at - reads[1].at, 2000ms);
    EXPECT_EQ(app.getStatus(), 0x0504);
}
