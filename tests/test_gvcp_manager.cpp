// The device manager against a fake camera on loopback: taking and releasing
// control, register byte orders, memory chunking, and the heartbeat's view of
// a camera that goes away and comes back.
#include "ManagerGigeProto.h"
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using camtest::FakeGvcpCamera;
using camtest::GvcpRequest;
using camtest::LogCapture;
using camtest::waitUntil;
using camtest::Words;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t CCP = managerGige::REG_CCP;
constexpr std::uint32_t HEARTBEAT = managerGige::REG_HEARTBEAT_TIMEOUT;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// True when no request reaches the camera for ms, after a moment for
// datagrams already on their way to be counted.
bool staysQuiet(const FakeGvcpCamera& camera, int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::size_t before = camera.requestCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return camera.requestCount() == before;
}

}  // namespace

TEST(GvcpManager, MemoryInPiecesThenRelease) {
    FakeGvcpCamera camera("127.0.1.20");
    ASSERT_TRUE(camera.ok());
    managerGige manager;
    ASSERT_TRUE(manager.connect("127.0.1.20"));

    // Memory reads go in pieces of at most 536 bytes, each a multiple of four.
    std::vector<std::uint8_t> image(1000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    camera.setMemory(0x10000, image.data(), image.size());

    camera.clearRequests();
    std::vector<std::uint8_t> got(16, 0xEE);
    std::uint32_t count = 10;
    ASSERT_TRUE(manager.readMemory(0x10000, got.data(), &count));
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 10, image.begin()));
    EXPECT_EQ(got[10], 0xEE) << "only the bytes asked for are copied";

    std::vector<std::uint8_t> all(1000);
    count = 1000;
    ASSERT_TRUE(manager.readMemory(0x10000, all.data(), &count));
    EXPECT_EQ(all, image);
    count = 0;
    ASSERT_TRUE(manager.readMemory(0x10000, all.data(), &count));

    auto reads = camera.requestsOf(0x0084);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].words[1], 12);
    EXPECT_EQ(reads[1].words[1], 536);
    EXPECT_EQ(reads[2].words[1], 464);
    EXPECT_EQ(reads[2].words[0], 0x10000u + 536);
    EXPECT_EQ(reads[3].words[1], 0);

    const char address[] = "127.0.0.1";
    count = 10;
    ASSERT_TRUE(manager.writeMemory(0xEFFFFFEC, address, &count));
    auto writes = camera.requestsOf(0x0086);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].length, 16);
    std::vector<std::uint8_t> expect(12, 0);
    std::copy(address, address + 10, expect.begin());
    EXPECT_EQ(writes[0].data, expect);

    // Release: CCP = 0, and nothing more leaves the host afterwards.
    ASSERT_TRUE(manager.disconnect());
    EXPECT_EQ(camera.getRegister(CCP), 0u);
    EXPECT_TRUE(staysQuiet(camera, 300));
}

TEST(GvcpManager, RefusedOrHalfTakenControlStartsNoHeartbeat) {
    FakeGvcpCamera camera("127.0.1.21");
    ASSERT_TRUE(camera.ok());
    managerGige manager;

    camera.setStatusFor(CCP, FakeGvcpCamera::STATUS_ACCESS_DENIED);
    EXPECT_FALSE(manager.connect("127.0.1.21"));
    EXPECT_FALSE(manager.isConnected());

    camera.setStatusFor(CCP, 0);
    camera.setStatusFor(HEARTBEAT, FakeGvcpCamera::STATUS_ACCESS_DENIED);
    EXPECT_FALSE(manager.connect("127.0.1.21"));
    EXPECT_FALSE(manager.isConnected());

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto sent = camera.requests();
    ASSERT_EQ(sent.size(), 4u) << "no heartbeat reads";
    EXPECT_EQ(sent[0].words, (Words{CCP, 2}));
    EXPECT_EQ(sent[1].words, (Words{CCP, 2}));
    EXPECT_EQ(sent[2].words, (Words{HEARTBEAT, 3000}));
    EXPECT_EQ(sent[3].words, (Words{CCP, 0}));
    EXPECT_EQ(camera.getRegister(CCP), 0u);
}

// Paced as the command does it (back to back, as CamUpgrade does, is the
// session tests'): the heartbeat sees the camera go at most one period
// later, sees it come back with its first answer, and its pause ends at
// once on disconnect.
TEST(GvcpManager, PacedHeartbeatSeesTheCameraLeaveAndReturn) {
    FakeGvcpCamera camera("127.0.1.22");
    ASSERT_TRUE(camera.ok());
    LogCapture log;
    managerGige manager;
    manager.setHeartbeatPeriod(std::chrono::milliseconds(1000));
    ASSERT_TRUE(manager.connect("127.0.1.22"));
    camera.clearRequests();
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_LE(camera.requestsOf(0x0080).size(), 3u) << "one read a period";

    camera.setSilent(true);
    auto gone = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return !manager.isConnected(); }, 7000));
    double lossSeen = since(gone);
    EXPECT_GT(lossSeen, 2.9);
    EXPECT_LT(lossSeen, 6.5);
    EXPECT_EQ(log.count("] device heartbeat timeout:3000\n"), 1u);

    // While the link is down other reads fail at once and send nothing.
    std::size_t before = camera.requestsBesidesHeartbeat().size();
    std::uint64_t value = 0;
    std::uint32_t four = 4;
    EXPECT_FALSE(manager.getRegister(0xEFFFFFE8, &value, &four, true));
    EXPECT_EQ(camera.requestsBesidesHeartbeat().size(), before);
    std::size_t asked = camera.requestCount();
    EXPECT_TRUE(waitUntil([&] { return camera.requestCount() > asked; }, 2000)) << "heartbeat keeps asking";

    // The first answered CCP read brings the flag back; a reconnect adds a
    // second heartbeat thread, and both are gone once disconnect returns.
    camera.setSilent(false);
    auto back = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return manager.isConnected(); }, 4000));
    EXPECT_LT(since(back), 2.5);
    ASSERT_TRUE(manager.connect("127.0.1.22"));
    auto release = Clock::now();
    ASSERT_TRUE(manager.disconnect());
    EXPECT_LT(since(release), 0.8) << "the heartbeat's pause is cut short";
    EXPECT_TRUE(staysQuiet(camera, 300));
}

TEST(GvcpManager, FailedDisconnectKeepsHeartbeatUntilDestroyed) {
    FakeGvcpCamera camera("127.0.1.23");
    ASSERT_TRUE(camera.ok());
    auto manager = std::make_unique<managerGige>();
    ASSERT_TRUE(manager->connect("127.0.1.23"));

    camera.setSilent(true);
    EXPECT_FALSE(manager->disconnect());
    auto releases = camera.requestsOf(0x0082);
    EXPECT_EQ(releases.size(), 2u + 3u) << "connect's two writes, then CCP = 0 three times";
    std::size_t seen = camera.requestCount();
    EXPECT_TRUE(waitUntil([&] { return camera.requestCount() > seen; }, 2500)) << "heartbeat still runs";

    // Destroyed while the heartbeat waits inside a silent transaction: it is
    // woken, not sat out.
    auto start = Clock::now();
    manager.reset();
    EXPECT_LT(since(start), 1.5);
    EXPECT_TRUE(staysQuiet(camera, 1200));
}
