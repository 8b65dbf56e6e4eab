// The simulated camera's register rules and information file, without a
// network: time is passed in, so heartbeat expiry is exact.
#include "camsim/Package.h"
#include "camsim/RegisterModel.h"
#include "camsim/Sha256.h"

#include <gtest/gtest.h>

using namespace camsim;
using std::chrono::milliseconds;

namespace {

Identity identity() {
    Identity id;
    id.ip = 0x7F000002;
    return id;
}

const Peer HOST{0x7F000001, 40000};
const Peer OTHER{0x7F000001, 40001};

}  // namespace

TEST(CamsimModel, MemoryAccessIsAllOrNothing) {
    RegisterModel m(identity());
    auto t = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> mem;
    // A read may span the adjacent vendor words but not run into a hole.
    EXPECT_EQ(m.readMem(reg::UPGRADE_STATUS, 24, HOST, t, &mem), GEV_SUCCESS);
    EXPECT_EQ(m.readMem(reg::UPGRADE_CMD, 8, HOST, t, &mem), GEV_INVALID_ADDRESS);
    EXPECT_EQ(m.readMem(reg::MANUFACTURER, 6, HOST, t, &mem), GEV_BAD_ALIGNMENT);
    // A write that touches a read-only word changes nothing.
    const std::uint8_t text[16] = {'1', '2', '7', '.', '0', '.', '0', '.', '1'};
    EXPECT_EQ(m.writeMem(reg::UPGRADE_STATUS, text, 16, HOST, t), GEV_WRITE_PROTECT);
    EXPECT_EQ(m.fileServer(), "");
}

TEST(CamsimModel, HeartbeatCountsOnlyTheController) {
    RegisterModel m(identity());
    auto t = std::chrono::steady_clock::now();
    std::uint32_t v = 0;
    ASSERT_EQ(m.writeReg(reg::CCP, 2, HOST, t), GEV_SUCCESS);
    ASSERT_EQ(m.writeReg(reg::HEARTBEAT_TIMEOUT, 500, HOST, t), GEV_SUCCESS);
    ASSERT_EQ(m.readReg(reg::CCP, HOST, t + milliseconds(400), &v), GEV_SUCCESS);
    m.tick(t + milliseconds(900));
    EXPECT_TRUE(m.controlled());
    m.readReg(reg::CCP, OTHER, t + milliseconds(901), &v);  // same host, other port
    m.tick(t + milliseconds(901));
    EXPECT_FALSE(m.controlled());

    // Exclusive control hides even reads from others.
    ASSERT_EQ(m.writeReg(reg::CCP, 1, OTHER, t + milliseconds(902)), GEV_SUCCESS);
    EXPECT_EQ(m.readReg(reg::UPGRADE_STATUS, HOST, t + milliseconds(903), &v), GEV_ACCESS_DENIED);
}

TEST(CamsimModel, UpgradeCommandAndRestart) {
    RegisterModel m(identity());
    auto t = std::chrono::steady_clock::now();
    m.writeReg(reg::CCP, 2, HOST, t);
    m.writeReg(reg::HEARTBEAT_TIMEOUT, 1000, HOST, t);

    // Without a usable file-server address the camera reports state 1.
    EXPECT_EQ(m.writeReg(reg::UPGRADE_CMD, 1, HOST, t), GEV_SUCCESS);
    EXPECT_EQ(m.state(), 1);
    EXPECT_EQ(m.takeAction().type, Action::NONE);

    const std::uint8_t text[16] = {'1', '2', '7', '.', '0', '.', '0', '.', '1'};
    m.writeReg(reg::PRE_UPGRADE_CLEAR, 0, HOST, t);
    EXPECT_EQ(m.state(), STATE_IDLE);
    m.writeMem(reg::FILE_SERVER, text, 16, HOST, t);
    EXPECT_EQ(m.writeReg(reg::UPGRADE_CMD, 1, HOST, t), GEV_SUCCESS);
    EXPECT_EQ(m.state(), 4);  // at once, so no poll can read an old verdict
    Action a = m.takeAction();
    EXPECT_EQ(a.type, Action::START_UPGRADE);
    EXPECT_EQ(a.fileServer, "127.0.0.1");
    EXPECT_EQ(m.writeReg(reg::UPGRADE_CMD, 1, HOST, t), GEV_BUSY);
    EXPECT_EQ(m.writeReg(reg::DEVICE_RESET, 1, HOST, t), GEV_BUSY);

    m.restart();
    EXPECT_FALSE(m.controlled());
    EXPECT_EQ(m.heartbeatMs(), DEFAULT_HEARTBEAT_MS);
    EXPECT_EQ(m.fileServer(), "");
    m.setBusy(false);
    EXPECT_EQ(m.writeReg(reg::DEVICE_RESET, 1, OTHER, t), GEV_SUCCESS);
    EXPECT_EQ(m.takeAction().type, Action::RESTART);
}

TEST(CamsimPackage, InformationFileRoundTripAndRejects) {
    InfoFile info;
    info.kind = 1;
    info.version = "2.10.3";
    info.images.push_back({"app.bin", 1300, Sha256::of("abc", 3)});
    InfoFile back;
    std::string error;
    ASSERT_TRUE(parseInfo(formatInfo(info), &back, &error)) << error;
    EXPECT_EQ(back.kind, 1);
    EXPECT_EQ(back.version, "2.10.3");
    ASSERT_EQ(back.images.size(), 1u);
    EXPECT_EQ(back.images[0].size, 1300u);
    // The published test vector of "abc".
    EXPECT_EQ(back.images[0].sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    const std::string digest(64, 'a');
    for (const std::string& bad : std::vector<std::string>{"kind 0\nversion 1.0\n",  // no image
                                  "kind 0\nversion 1..0\nimage a 1 " + digest + "\n",
                                  "kind 0\nversion 1.0\nimage ../a 1 " + digest + "\n",
                                  "kind 0\nversion 1.0\nimage a -1 " + digest + "\n",
                                  "kind 0\nversion 1.0\nimage a 1 abc\n",
                                  "kind 0\nversion 1.0\nimage a 1 " + digest + " extra\n",
                                  "kind 0\nversion 1.0\nflavour x\nimage a 1 " + digest + "\n"})
        EXPECT_FALSE(parseInfo(bad, &back, &error)) << bad;

    EXPECT_LT(compareVersions("2.9", "2.10"), 0);
    EXPECT_EQ(compareVersions("2.1", "2.1.0"), 0);
    EXPECT_GT(compareVersions("3", "2.99.99"), 0);
    // Two blocks of padding.
    const std::string m448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Sha256::of(m448.data(), m448.size()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}
