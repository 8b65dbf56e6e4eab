// The port-69 service end to end, in a network of the test's own: routing by
// sender address, and downloads by TFTP clients that we did not write.
#include "ManagerGigeProto.h"
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "support/NetNs.h"
#include "support/TftpPeer.h"
#include "support/Wait.h"
#include "upgrade/DevApp.h"
#include "upgrade/UpdgradeManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace fs = std::filesystem;
using camtest::Bytes;
using camtest::UdpPeer;

namespace {

constexpr const char* HOST_IP = "127.0.0.1";

// One camera: its control port, its manager and its session, registered
// with the service and serving from fw.
struct Camera {
    Camera(updgradeManager& service, const char* ip, const fs::path& fw)
        : port(ip), dev(nullptr) {
        port.setAnswerDelay(50);  // keeps the manager's back-to-back heartbeat reads slow
        EXPECT_TRUE(manager.connect(ip));
        dev = std::make_unique<DevApp>(&manager, HOST_IP, ip);
        service.addDevice(dev.get(), (fw / "pkg.bin").string(), true);
    }
    camtest::FakeGvcpCamera port;
    managerGige manager;
    std::unique_ptr<DevApp> dev;
};

class FileService : public ::testing::Test {
protected:
    void SetUp() override {
        CAMTEST_REQUIRE_PRIVATE_NETWORK();
        m_root = fs::path(::testing::TempDir()) / ("fileservice." + std::to_string(getpid()));
        m_fw = m_root / "fw";
        camtest::writeBytes(m_fw / "pkg.bin", Bytes(64, 0x5A));
        m_service = std::make_unique<updgradeManager>();
        ASSERT_TRUE(m_service->startServer("", true));
        m_port69 = platform::makeAddr(HOST_IP, updgradeManager::FILE_SERVICE_PORT);
    }
    void TearDown() override {
        // The service lets go of the sessions before they go: a request
        // still being dispatched must not meet a deleted session.
        if (m_service)
            m_service->stopServer();
        m_cameras.clear();
        m_service.reset();
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    Camera& addCamera(const char* ip) {
        m_cameras.push_back(std::make_unique<Camera>(*m_service, ip, m_fw));
        return *m_cameras.back();
    }

    fs::path m_root;
    fs::path m_fw;
    sockaddr_in m_port69{};
    std::unique_ptr<updgradeManager> m_service;
    std::vector<std::unique_ptr<Camera>> m_cameras;
};

TEST_F(FileService, RequestsReachTheSessionOfTheirSender) {
    Bytes file = camtest::fileBytes(1500, 1);
    camtest::writeBytes(m_fw / "app.bin", file);
    addCamera("127.0.0.2");
    addCamera("127.0.0.3");
    camtest::LogCapture log;

    // From the second camera: one miss, then its own session answers.
    UdpPeer second("127.0.0.3");
    second.send(camtest::tftpRequest("app.bin"), m_port69);
    Bytes first;
    sockaddr_in server{};
    ASSERT_TRUE(second.recv(first, &server));
    EXPECT_EQ(log.count("ip is different"), 1u);
    EXPECT_EQ(log.count("receive file request from ip = 127.0.0.3\n"), 1u);
    Bytes got;
    ASSERT_TRUE(camtest::fetchRest(second, first, server, &got));
    EXPECT_EQ(got, file);

    // From nobody we know: one miss per session, one line naming the sender, no answer.
    log.take();
    UdpPeer stranger("127.0.0.9");
    stranger.send(camtest::tftpRequest("app.bin"), m_port69);
    EXPECT_TRUE(camtest::waitUntil(
        [&] { return log.count("file request msg not deal, ip:127.0.0.9\n") > 0; }, 2000));
    EXPECT_EQ(log.count("ip is different"), 2u);
    EXPECT_TRUE(stranger.quietFor(200));

    // Only read requests start anything on port 69.
    log.take();
    UdpPeer firstCamera("127.0.0.2");
    firstCamera.send(camtest::tftpAck(1), m_port69);
    EXPECT_TRUE(camtest::waitUntil(
        [&] { return log.count("[ERROR] unknown request:4 from client\n") > 0; }, 2000));
    EXPECT_TRUE(firstCamera.quietFor(200));
}

// Real clients send options (tsize, blksize, timeout); we answer with data
// block 1 and they must fall back to plain transfers. A length that is a
// multiple of 512 is left out: the camera's protocol has no empty last
// block, which a plain client waits for.
TEST_F(FileService, ForeignClientsFetchIdenticalFiles) {
    if (std::system("command -v curl >/dev/null && command -v tftp >/dev/null") != 0)
        GTEST_SKIP() << "curl or tftp (tftp-hpa) not installed";
    const Bytes odd = camtest::fileBytes(200 * 1024 + 77, 2);
    const Bytes small = camtest::fileBytes(100, 3);
    camtest::writeBytes(m_fw / "odd.bin", odd);
    camtest::writeBytes(m_fw / "small.bin", small);
    addCamera("127.0.0.5");  // curl picks this source address
    addCamera("127.0.0.1");  // the tftp client sends from the address it talks to

    const fs::path out = m_root / "out";
    fs::create_directories(out);
    for (const char* name : {"odd.bin", "small.bin"}) {
        const Bytes& want = std::string(name) == "odd.bin" ? odd : small;
        std::string curl = "curl -s --max-time 20 --interface 127.0.0.5 -o " +
                           (out / "curl").string() + " tftp://127.0.0.1/" + name;
        ASSERT_EQ(std::system(curl.c_str()), 0) << curl;
        EXPECT_EQ(camtest::readBytes(out / "curl"), want) << "curl " << name;

        std::string tftp = "cd " + out.string() + " && timeout 20 tftp -m binary 127.0.0.1 -c get " +
                           name + " tftp.bin";
        ASSERT_EQ(std::system(tftp.c_str()), 0) << tftp;
        EXPECT_EQ(camtest::readBytes(out / "tftp.bin"), want) << "tftp " << name;
    }
}

}  // namespace
