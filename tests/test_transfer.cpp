// The session's file transfer: its block logic driven with byte buffers, and
// the loop around it end to end with a peer in the camera's place.
#include "ManagerGigeProto.h"
#include "session/SessionStates.h"
#include "platform/pathguard.h"
#include "support/Archives.h"
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "support/ProcessCounts.h"
#include "support/TftpPeer.h"
#include "support/Wait.h"
#include "upgrade/BlockSender.h"
#include "upgrade/DevApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;
using camtest::Bytes;
using camtest::UdpPeer;
using transfer::Action;

namespace {

// A sender serving a file from memory, and the camera's side of it.
struct Sender {
    explicit Sender(Bytes data) : file(std::move(data)) {}
    Action start() {
        at = 0;
        return sender.start([this](char* into, std::size_t n) {
            n = std::min(n, file.size() - at);
            std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(at), n, into);
            at += n;
            return n;
        }).action;
    }
    transfer::Step send(const Bytes& datagram) {
        return sender.receive(reinterpret_cast<const char*>(datagram.data()), datagram.size());
    }
    Bytes packet() const { return Bytes(sender.packet(), sender.packet() + sender.packetSize()); }

    // Acknowledges each block as it comes: the block numbers in order, the
    // data in got, and how the transfer ended.
    Action fetchAll() {
        Action next = start();
        for (; next == Action::Send; next = send(camtest::tftpAck(sender.block())).action) {
            Bytes block = packet();
            EXPECT_EQ(camtest::opcodeOf(block), transfer::FT_DATA);
            numbers.push_back(camtest::blockOf(block));
            got.insert(got.end(), block.begin() + 4, block.end());
        }
        return next;
    }

    Bytes file;
    std::size_t at = 0;
    Bytes got;
    std::vector<std::uint16_t> numbers;
    transfer::BlockSender sender;
};

TEST(TransferCore, BlocksFollowTheFileLengthAndWrapAfter65535) {
    // 512 + 512 + 276, the acknowledgement of the short block ends it; two
    // full blocks and no empty third one; an empty file sends nothing.
    const std::vector<std::pair<std::size_t, std::vector<std::uint16_t>>> files = {
        {1300, {1, 2, 3}}, {1024, {1, 2}}, {0, {}}};
    for (const auto& [size, blocks] : files) {
        Sender s(camtest::fileBytes(size, 1));
        EXPECT_EQ(s.fetchAll(), Action::Finished) << size;
        EXPECT_EQ(s.numbers, blocks) << size;
        EXPECT_EQ(s.got, s.file) << size;
        // Nothing goes out after the end.
        EXPECT_EQ(s.send(camtest::tftpAck(s.sender.block())).action, Action::None) << size;
    }

    Sender big(camtest::fileBytes(65536u * 512u + 100u, 5));
    EXPECT_EQ(big.fetchAll(), Action::Finished);
    ASSERT_EQ(big.numbers.size(), 65537u);
    EXPECT_EQ(big.numbers[65534], 65535);
    EXPECT_EQ(big.numbers[65535], 0);
    EXPECT_EQ(big.numbers[65536], 1);
    EXPECT_TRUE(big.got == big.file);
}

TEST(TransferCore, StrayAcknowledgementsGetTheBlockAgainAndErrorsEndIt) {
    Sender s(camtest::fileBytes(1300, 3));
    ASSERT_EQ(s.start(), Action::Send);
    ASSERT_EQ(s.send(camtest::tftpAck(1)).action, Action::Send);
    const Bytes b2 = s.packet();
    ASSERT_EQ(camtest::blockOf(b2), 2);

    // Acknowledgements too short to carry a block number are stray ones too.
    for (const Bytes& ack : {camtest::tftpAck(1), camtest::tftpAck(7), camtest::tftpAck(0),
                             camtest::tftpAck(65535), Bytes{0, 4, 0}, Bytes{0, 4}}) {
        EXPECT_EQ(s.send(ack).action, Action::Resend) << ack.size() << " bytes";
        EXPECT_EQ(s.packet(), b2) << ack.size() << " bytes";
    }
    // No opcode at all, or one a sender has no use for, changes nothing.
    for (const Bytes& other : {Bytes{0}, Bytes{}, camtest::tftpPacket(2, 2), camtest::tftpPacket(3, 2),
                               camtest::tftpPacket(6, 2)})
        EXPECT_EQ(s.send(other).action, Action::None) << other.size() << " bytes";
    ASSERT_EQ(s.send(camtest::tftpAck(2)).action, Action::Send);
    EXPECT_EQ(camtest::blockOf(s.packet()), 3);

    // An error from the camera or an opcode no transfer knows ends it.
    for (std::uint16_t op : {5, 9, 0}) {
        ASSERT_EQ(s.start(), Action::Send);
        transfer::Step step = s.send(camtest::tftpPacket(op, 0));
        EXPECT_EQ(step.action, op == 5 ? Action::Aborted : Action::Unknown) << op;
        EXPECT_EQ(step.value, op == 5 ? 0 : op);
        EXPECT_EQ(s.send(camtest::tftpAck(1)).action, Action::None) << op;
    }
}

TEST(TransferCore, ARequestsNameMustEndInsideTheDatagram) {
    auto parse = [](const Bytes& b) {
        return transfer::parseRequest(reinterpret_cast<const char*>(b.data()), b.size());
    };
    const Bytes rrq = camtest::tftpRequest("sub/a.bin");
    EXPECT_STREQ(parse(rrq).name, "sub/a.bin");
    Bytes unterminated(512, 'a');
    unterminated[0] = 0;
    unterminated[1] = 1;
    for (const Bytes& b : {unterminated, Bytes{0, 1}, Bytes{0}}) {
        EXPECT_EQ(parse(b).name, nullptr) << b.size() << " bytes";
        EXPECT_EQ(parse(b).opcode, b.size() >= 2 ? transfer::FT_RRQ : 0);
    }
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

// The loop around the block sender: a session serving its folder to a peer
// in the camera's place.
TEST(Transfer, WholeFileFromASecondRequestOnANewPortWithOneThread) {
    const char* cameraIp = "127.0.3.153";
    camtest::ScratchDir root;
    const fs::path fw = fs::path(root.path()) / "fw";
    camtest::writeBytes(fw / "pkg.bin", Bytes(64, 0x5A));  // no archive: served from its folder
    Bytes file = camtest::fileBytes(5000, 4);
    camtest::writeBytes(fw / "sub" / "a.bin", file);
    camtest::FakeGvcpCamera control(cameraIp);
    control.setAnswerDelay(50);  // keeps the manager's back-to-back heartbeat reads slow
    managerGige manager;
    ASSERT_TRUE(manager.connect(cameraIp));
    DevApp dev(&manager, "127.0.3.150", cameraIp);
    dev.init((fw / "pkg.bin").string());
    UdpPeer camera(cameraIp);
    auto request = [&](const std::string& name, sockaddr_in* server) {
        Bytes rrq = camtest::tftpRequest(name), b;
        dev.fileRequest(reinterpret_cast<const char*>(rrq.data()), static_cast<std::uint32_t>(rrq.size()),
                        camera.port());
        return server == nullptr || camera.recv(b, server) ? b : Bytes();
    };
    const std::size_t idle = camtest::threadCount();
    camtest::LogCapture log;

    sockaddr_in oldServer{};
    request("sub/a.bin", &oldServer);
    EXPECT_EQ(log.count("sending first block 1 -> remoteAddr=" + std::string(cameraIp) + ":" +
                        std::to_string(camera.port()) + "\n"),
              1u);
    camera.send(camtest::tftpAck(1), oldServer);
    Bytes b2;
    ASSERT_TRUE(camera.recv(b2));
    EXPECT_EQ(camtest::threadCount(), idle + 1);

    sockaddr_in server{};
    Bytes first = request("sub/a.bin", &server);
    EXPECT_NE(server.sin_port, oldServer.sin_port);
    EXPECT_EQ(camtest::blockOf(first), 1);
    EXPECT_EQ(camtest::threadCount(), idle + 1);
    camera.send(camtest::tftpAck(2), oldServer);
    EXPECT_TRUE(camera.quietFor(200));

    Bytes got;
    ASSERT_TRUE(camtest::fetchRest(camera, first, server, &got));
    EXPECT_EQ(got, file);
    // The receive thread ended itself with the last acknowledgement, and
    // the socket went with it.
    ASSERT_TRUE(camtest::waitUntil([&] { return log.count("file send finish\n") > 0; }, 2000));
    EXPECT_EQ(log.count("last packet send out\n"), 1u);
    EXPECT_TRUE(camtest::waitUntil([&] { return camtest::threadCount() == idle; }, 1000));
    camera.send(camtest::tftpAck(10), server);
    EXPECT_TRUE(camera.quietFor(200));
    EXPECT_EQ(dev.getStatus(), ST_READY);

    // A name outside the folder, or a folder, is a file that cannot be opened.
    camtest::writeBytes(root / "secret.bin", camtest::fileBytes(100, 7));
    for (std::string name : {"../secret.bin", "sub"}) {
        request(name, nullptr);
        EXPECT_EQ(log.count("[ERROR] can not open send file " + dev.fwDir() + name + "!\n"), 1u);
        EXPECT_EQ(dev.getStatus(), ST_INNER_ERROR) << name;
        EXPECT_TRUE(camera.quietFor(50)) << name;
    }
}

}  // namespace
