// The session's file transfer driven directly, with a peer in the camera's
// place on its own loopback address.
#include "ManagerGigeProto.h"
#include "session/SessionStates.h"
#include "platform/pathguard.h"
#include "support/Archives.h"
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "support/ProcessCounts.h"
#include "support/TftpPeer.h"
#include "support/Wait.h"
#include "upgrade/DevApp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

namespace fs = std::filesystem;
using camtest::Bytes;
using camtest::UdpPeer;

namespace {

constexpr const char* HOST_IP = "127.0.3.150";

class Transfer : public ::testing::Test {
protected:
    void TearDown() override {
        m_dev.reset();
        m_manager.reset();
        m_camera.reset();
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    // A session for the camera at cameraIp whose firmware folder is m_fw.
    void openSession(const char* cameraIp) {
        m_cameraIp = cameraIp;
        m_root = fs::path(::testing::TempDir()) / ("transfer." + std::to_string(getpid()));
        m_fw = m_root / "fw";
        camtest::writeBytes(m_fw / "pkg.bin", Bytes(64, 0x5A));  // no archive: served from its folder
        // Slow answers keep the manager's back-to-back heartbeat reads slow.
        m_camera = std::make_unique<camtest::FakeGvcpCamera>(cameraIp);
        m_camera->setAnswerDelay(50);
        m_manager = std::make_unique<managerGige>();
        ASSERT_TRUE(m_manager->connect(cameraIp));
        m_dev = std::make_unique<DevApp>(m_manager.get(), HOST_IP, cameraIp);
        m_dev->init((m_fw / "pkg.bin").string());
        ASSERT_EQ(m_dev->fwDir(), m_fw.string() + "/");
    }

    void request(const UdpPeer& camera, const std::string& name) {
        Bytes rrq = camtest::tftpRequest(name);
        m_dev->fileRequest(reinterpret_cast<const char*>(rrq.data()),
                           static_cast<std::uint32_t>(rrq.size()), camera.port());
    }

    // Requests a file and returns its first block and where it came from.
    Bytes firstBlock(const UdpPeer& camera, const std::string& name, sockaddr_in* server) {
        request(camera, name);
        Bytes b;
        EXPECT_TRUE(camera.recv(b, server)) << name;
        return b;
    }

    std::string m_cameraIp;
    fs::path m_root;
    fs::path m_fw;
    std::unique_ptr<camtest::FakeGvcpCamera> m_camera;
    std::unique_ptr<managerGige> m_manager;
    std::unique_ptr<DevApp> m_dev;
};

TEST_F(Transfer, BlocksFollowTheFileLength) {
    openSession("127.0.3.151");
    Bytes f1300 = camtest::fileBytes(1300, 1);
    camtest::writeBytes(m_fw / "a.bin", f1300);
    camtest::writeBytes(m_fw / "b.bin", camtest::fileBytes(1024, 2));
    camtest::writeBytes(m_fw / "empty.bin", {});
    UdpPeer camera(m_cameraIp.c_str());
    camtest::LogCapture log;

    // 512 + 512 + 276; the acknowledgement of the short block ends it.
    sockaddr_in server{};
    Bytes first = firstBlock(camera, "a.bin", &server);
    EXPECT_EQ(platform::addrText(server), HOST_IP);
    EXPECT_EQ(log.count("sending first block 1 -> remoteAddr=" + m_cameraIp + ":" +
                        std::to_string(camera.port()) + "\n"),
              1u);
    Bytes got;
    std::vector<std::uint16_t> numbers;
    ASSERT_TRUE(camtest::fetchRest(camera, first, server, &got, &numbers));
    EXPECT_EQ(numbers, (std::vector<std::uint16_t>{1, 2, 3}));
    EXPECT_EQ(got, f1300);
    ASSERT_TRUE(camtest::waitUntil([&] { return log.count("file send finish\n") > 0; }, 2000));
    EXPECT_EQ(log.count("last packet send out\n"), 1u);
    // Its socket is gone: a repeated acknowledgement gets nothing back.
    camera.send(camtest::tftpAck(3), server);
    EXPECT_TRUE(camera.quietFor(200));

    // Two full blocks and no empty third one.
    log.take();
    first = firstBlock(camera, "b.bin", &server);
    ASSERT_EQ(first.size(), 516u);
    camera.send(camtest::tftpAck(1), server);
    Bytes second;
    ASSERT_TRUE(camera.recv(second));
    EXPECT_EQ(second.size(), 516u);
    EXPECT_EQ(camtest::blockOf(second), 2);
    camera.send(camtest::tftpAck(2), server);
    EXPECT_TRUE(camtest::waitUntil([&] { return log.count("file send finish\n") > 0; }, 2000));
    EXPECT_TRUE(camera.quietFor(200));
    EXPECT_EQ(log.count("last packet send out"), 0u);

    // An empty file sends nothing at all.
    log.take();
    request(camera, "empty.bin");
    EXPECT_EQ(log.count("file send finish\n"), 1u);
    EXPECT_EQ(log.count("sending first block"), 0u);
    EXPECT_TRUE(camera.quietFor(200));
    EXPECT_EQ(m_dev->getStatus(), ST_READY);
}

TEST_F(Transfer, StrayAcknowledgementsGetTheBlockAgainAndErrorsEndIt) {
    openSession("127.0.3.152");
    Bytes file = camtest::fileBytes(1300, 3);
    camtest::writeBytes(m_fw / "a.bin", file);
    UdpPeer camera(m_cameraIp.c_str());
    camtest::LogCapture log;

    sockaddr_in server{};
    Bytes b1 = firstBlock(camera, "a.bin", &server);
    camera.send(camtest::tftpAck(1), server);
    Bytes b2;
    ASSERT_TRUE(camera.recv(b2));
    ASSERT_EQ(camtest::blockOf(b2), 2);

    // Acknowledgements too short to carry a block number are stray ones too.
    const std::vector<Bytes> strays = {camtest::tftpAck(1), camtest::tftpAck(7), camtest::tftpAck(0),
                                       camtest::tftpAck(65535), Bytes{0, 4, 0}, Bytes{0, 4}};
    for (const Bytes& ack : strays) {
        camera.send(ack, server);
        Bytes again;
        ASSERT_TRUE(camera.recv(again)) << ack.size() << " bytes, block " << camtest::blockOf(ack);
        EXPECT_EQ(again, b2) << ack.size() << " bytes, block " << camtest::blockOf(ack);
    }
    // No opcode at all, or one a sender has no use for, changes nothing.
    camera.send(Bytes{0}, server);
    for (std::uint16_t op : {2, 3, 6})
        camera.send(camtest::tftpPacket(op, 2), server);
    EXPECT_TRUE(camera.quietFor(200));

    camera.send(camtest::tftpAck(2), server);
    Bytes b3;
    ASSERT_TRUE(camera.recv(b3));
    EXPECT_EQ(camtest::blockOf(b3), 3);
    EXPECT_EQ(Bytes(b3.begin() + 4, b3.end()), Bytes(file.begin() + 1024, file.end()));

    // An error from the camera or an opcode no transfer knows ends it, and
    // the session's status stays as it was.
    for (std::uint16_t op : {5, 9, 0}) {
        firstBlock(camera, "a.bin", &server);
        camera.send(camtest::tftpPacket(op, 0), server);
        camera.send(camtest::tftpAck(1), server);
        EXPECT_TRUE(camera.quietFor(200)) << op;
    }
    EXPECT_EQ(log.count("[ERROR] device ending send, because of error,send offset\n"), 1u);
    EXPECT_EQ(log.count("case others:9\n"), 1u);
    EXPECT_EQ(log.count("case others:0\n"), 1u);
    EXPECT_EQ(m_dev->getStatus(), ST_READY);
}

TEST_F(Transfer, SecondRequestRestartsFromANewPortWithOneThread) {
    openSession("127.0.3.153");
    Bytes file = camtest::fileBytes(5000, 4);
    camtest::writeBytes(m_fw / "a.bin", file);
    UdpPeer camera(m_cameraIp.c_str());
    const std::size_t idle = camtest::threadCount();

    sockaddr_in oldServer{};
    firstBlock(camera, "a.bin", &oldServer);
    camera.send(camtest::tftpAck(1), oldServer);
    Bytes b2;
    ASSERT_TRUE(camera.recv(b2));
    EXPECT_EQ(camtest::threadCount(), idle + 1);

    sockaddr_in server{};
    Bytes first = firstBlock(camera, "a.bin", &server);
    EXPECT_NE(server.sin_port, oldServer.sin_port);
    EXPECT_EQ(camtest::blockOf(first), 1);
    EXPECT_EQ(camtest::threadCount(), idle + 1);
    camera.send(camtest::tftpAck(2), oldServer);
    EXPECT_TRUE(camera.quietFor(200));

    Bytes got;
    ASSERT_TRUE(camtest::fetchRest(camera, first, server, &got));
    EXPECT_EQ(got, file);
    // The receive thread ended itself with the last acknowledgement.
    EXPECT_TRUE(camtest::waitUntil([&] { return camtest::threadCount() == idle; }, 1000));
}

TEST_F(Transfer, BlockNumbersWrapAfter65535) {
    openSession("127.0.3.154");
    Bytes file = camtest::fileBytes(65536u * 512u + 100u, 5);
    camtest::writeBytes(m_fw / "big.bin", file);
    UdpPeer camera(m_cameraIp.c_str());

    sockaddr_in server{};
    Bytes first = firstBlock(camera, "big.bin", &server);
    Bytes got;
    got.reserve(file.size());
    std::vector<std::uint16_t> numbers;
    ASSERT_TRUE(camtest::fetchRest(camera, first, server, &got, &numbers));
    ASSERT_EQ(numbers.size(), 65537u);
    EXPECT_EQ(numbers[65534], 65535);
    EXPECT_EQ(numbers[65535], 0);
    EXPECT_EQ(numbers[65536], 1);
    EXPECT_TRUE(got == file);
}

// The one rule for the names a camera asks for and for the entries of a
// package: first by the text, then with every link on the way followed.
TEST(PathGuard, NamesStayInsideTheFolder) {
    using platform::NamePlace;
    const std::vector<std::pair<const char*, NamePlace>> texts = {
        {"a.bin", NamePlace::Below},         {"sub/a.bin", NamePlace::Below},
        {"sub\\a.bin", NamePlace::Below},    {"./a..b/..c", NamePlace::Below},
        {"", NamePlace::Outside},            {"..", NamePlace::Outside},
        {"sub/../../a", NamePlace::Outside}, {"sub\\..\\..\\a", NamePlace::Outside},
        {"sub/..", NamePlace::Outside},      {"/etc/passwd", NamePlace::Outside},
        {"\\\\host\\a", NamePlace::Outside},   {"C:a.bin", NamePlace::Outside},
        {"c:\\a.bin", NamePlace::Outside},    {".", NamePlace::Folder},
        {".//./", NamePlace::Folder},        {".\\", NamePlace::Folder},
    };
    for (const auto& [name, place] : texts)
        EXPECT_EQ(platform::placeOf(name), place) << name;
    EXPECT_EQ(platform::placeOf(nullptr), NamePlace::Outside);

    camtest::ScratchDir root;
    const fs::path fw = root / "fw";
    camtest::writeBytes(fw / "sub" / "inner.bin", {1});
    camtest::writeBytes(root / "secret.bin", {2});
    std::error_code noLinks;
    fs::create_symlink(root / "secret.bin", fw / "out.bin", noLinks);
    fs::create_directory_symlink(root.path(), fw / "up", noLinks);
    fs::create_symlink("sub/inner.bin", fw / "in.bin", noLinks);
    const fs::path inner = fs::canonical(fw / "sub" / "inner.bin");
    const std::vector<std::pair<const char*, fs::path>> resolved = {
        {"sub/inner.bin", inner}, {"in.bin", noLinks ? fs::path() : inner}, {"out.bin", {}},
        {"up/secret.bin", {}},    {"../secret.bin", {}},  {"missing.bin", {}},
        {"sub/", inner.parent_path()}, {".", {}},
    };
    for (const auto& [name, target] : resolved)
        EXPECT_EQ(platform::resolveBelow(fw.string(), name), target) << name;
}

TEST_F(Transfer, NamesOutsideTheFolderAreRefused) {
    openSession("127.0.3.156");
    camtest::writeBytes(m_root / "secret.bin", camtest::fileBytes(100, 7));
    camtest::writeBytes(m_fw / "sub" / "inner.bin", camtest::fileBytes(700, 8));
    fs::create_symlink(m_root / "secret.bin", m_fw / "link.bin");
    UdpPeer camera(m_cameraIp.c_str());
    camtest::LogCapture log;

    const std::string fw = m_fw.string() + "/";
    for (std::string name : {"../secret.bin", "link.bin", "sub"}) {
        log.take();
        request(camera, name);
        EXPECT_EQ(log.count("[ERROR] can not open send file " + fw + name + "!\n"), 1u) << name;
        EXPECT_EQ(m_dev->getStatus(), ST_INNER_ERROR) << name;
        EXPECT_TRUE(camera.quietFor(50)) << name;
    }

    // A name that runs to the end of a full datagram is no name.
    log.take();
    Bytes unterminated(512, 'a');
    unterminated[0] = 0;
    unterminated[1] = 1;
    m_dev->fileRequest(reinterpret_cast<const char*>(unterminated.data()), 512, camera.port());
    EXPECT_EQ(log.count("fileName is NULL\n"), 1u);
    EXPECT_TRUE(camera.quietFor(50));

    // Folders below the firmware folder are served.
    sockaddr_in server{};
    Bytes first = firstBlock(camera, "sub/inner.bin", &server);
    Bytes got;
    ASSERT_TRUE(camtest::fetchRest(camera, first, server, &got));
    EXPECT_EQ(got, camtest::fileBytes(700, 8));
}

}  // namespace
