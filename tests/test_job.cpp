// Whole upgrades: CamUpgrade's job against the simulated camera, each test in
// a network namespace of its own (host 127.0.0.1, camera 127.0.0.2, port 69).
// Loss, latency, a camera gone for good and what many jobs leave behind are
// the fault matrix's and the soak's (tests/hardening, run by scripts/test.sh).
#include "main.h"
#include "session/SessionStates.h"
#include "support/CamsimTest.h"
#include "support/LogCapture.h"

#include <camupgrade.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const char* const kHost = "127.0.0.1";
const char* const kCamera = "127.0.0.2";

class Job : public camtest::CamsimTest {
protected:
    void SetUp() override {
        CamsimTest::SetUp();
        g_upgradeStatus.store(0);
    }
    int run(const std::string& pkg) { return ::CamUpgrade(kHost, kCamera, pkg.c_str()); }
    int finalState() const { return g_upgradeStatus.load(); }

    camtest::LogCapture m_log;
};

}  // namespace

TEST_F(Job, SuccessThroughRestartWithProgressThatNeverFalls) {
    camsim::Config c = camsim::instantCamera(kCamera);
    c.flashMs = 300;
    c.restartMs = 4500;  // longer than the heartbeat needs to see the loss
    camsim::Camera& cam = camera(c);
    std::string pkg = package(300000);

    // GetUpdateStatus called back to back while the job runs, as a host would.
    std::vector<unsigned> seen;
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done)
            seen.push_back(GetUpdateStatus());
    });
    EXPECT_EQ(run(pkg), 1);
    done = true;
    poller.join();
    EXPECT_EQ(finalState(), ST_SUCCESS);
    EXPECT_EQ(GetUpdateStatus(), 100u);
    ASSERT_FALSE(seen.empty());
    for (std::size_t i = 1; i < seen.size(); ++i)
        EXPECT_GE(seen[i], seen[i - 1]) << "progress fell at poll " << i;

    // The camera's restart is seen; whether control is taken again before its
    // final report is read depends on which poll comes first.
    EXPECT_EQ(m_log.count("device lost connection...\n"), 1u);
    EXPECT_EQ(m_log.count("Upgrade success...\n"), 2u);
    EXPECT_EQ(m_log.count("CTftpSocket_New::deInitNetResource() successed...\n"), 1u);
    auto snap = cam.snapshot();
    ASSERT_EQ(snap.files.size(), 1u);
    EXPECT_TRUE(snap.files[0].verified);
    EXPECT_EQ(snap.restarts, 1u);
    EXPECT_EQ(snap.controller, "");  // released at the end
    EXPECT_TRUE(nothingUnpacked());
}

TEST_F(Job, CameraVerdictsEndTheJob) {
    struct Case { const char* what; int state; };
    for (Case v : {Case{"digest", ST_CHECK_FAIL}, Case{"kind", ST_FIRMWARE_MISMATCH},
                   Case{"device", ST_DEVICE_ERROR}}) {
        SCOPED_TRACE(v.what);
        camsim::Config c = camsim::instantCamera(kCamera);
        camsim::PackageSpec spec;
        spec.images = {image("app.bin", 3000)};
        if (v.state == ST_CHECK_FAIL)
            spec.badDigest = true;
        if (v.state == ST_FIRMWARE_MISMATCH)
            c.kind = 1;  // the package is for kind 0
        if (v.state == ST_DEVICE_ERROR)
            c.maxImageBytes = 1000;
        camera(c);
        EXPECT_EQ(run(package(spec)), 1);
        EXPECT_EQ(finalState(), v.state);
        m_cameras.clear();
    }
    EXPECT_EQ(m_log.count("upgrade fail: "), 1u);  // only state 3 fails the folder
    EXPECT_TRUE(nothingUnpacked());
}

TEST_F(Job, RestartInTheMiddleOfTheTransferIsRecovered) {
    camsim::Config c = camsim::instantCamera(kCamera);
    c.restartMidTransfer = true;
    c.restartMs = 500;
    camsim::Camera& cam = camera(c);
    EXPECT_EQ(run(package(400000)), 1);
    EXPECT_EQ(finalState(), ST_SUCCESS);
    auto snap = cam.snapshot();
    EXPECT_EQ(snap.restarts, 2u);  // in the middle, and after flashing
    ASSERT_EQ(snap.files.size(), 1u);
    EXPECT_TRUE(snap.files[0].verified);
    // The information file, the image, and the image again from a new port.
    EXPECT_GE(m_log.count("receive file request from ip = 127.0.0.2\n"), 3u);
}

// Nothing is sent for malformed arguments; a camera that refuses control
// ends the job at once, never commanded.
TEST_F(Job, BadArgumentsAndRefusedControlReturnZero) {
    camsim::Camera& cam = camera(camsim::instantCamera(kCamera));
    std::string pkg = package(20000);
    EXPECT_EQ(CamUpgrade("not-an-ip", kCamera, pkg.c_str()), 0);
    EXPECT_EQ(CamUpgrade(kHost, "127.0.0.2.7", pkg.c_str()), 0);
    EXPECT_EQ(CamUpgrade(kHost, nullptr, pkg.c_str()), 0);
    EXPECT_EQ(CamUpgrade(kHost, kCamera, nullptr), 0);
    EXPECT_EQ(m_log.count("invalid argument"), 4u);
    EXPECT_EQ(cam.snapshot().requests, 0u);
    EXPECT_TRUE(nothingUnpacked());

    m_cameras.clear();
    camsim::Config c = camsim::instantCamera(kCamera);
    c.refuseControl = true;
    camsim::Camera& refusing = camera(c);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(pkg), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(refusing.snapshot().upgradeCommands, 0u);
}
