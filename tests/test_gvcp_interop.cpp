// The device manager against a GigE Vision device implementation that nobody
// on this team wrote (aravis's fake camera), with the traffic captured and
// checked by tshark's GVCP dissector. Both run in a network namespace of the
// test's own, so port 3956 on 127.0.0.1 is free.
#include "ManagerGigeProto.h"
#include "support/NetNs.h"
#include "support/Processes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

namespace {

// True once something answers a READREG on 127.0.0.1:3956.
bool deviceAnswers(int timeoutMs) {
    platform::socket_t s = platform::udpSocket();
    sockaddr_in to = platform::makeAddr("127.0.0.1", 3956);
    std::uint8_t probe[12] = {0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00};
    bool ok = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ok && std::chrono::steady_clock::now() < until) {
        platform::sendDatagram(s, probe, sizeof probe, to);
        if (platform::waitReadable(s, 100000) == platform::WAIT_READABLE) {
            char buf[64];
            ok = platform::recvDatagram(s, buf, sizeof buf, nullptr) >= 8;
        }
    }
    platform::closeSocket(s);
    return ok;
}

}  // namespace

TEST(GvcpInterop, ControlAgainstAForeignDeviceDissectsCleanly) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    if (!camtest::onPath("arv-fake-gv-camera-0.8") || !camtest::onPath("tshark"))
        GTEST_SKIP() << "needs arv-fake-gv-camera-0.8 (aravis-tools) and tshark";

    // Only the first packets are kept: the heartbeat sends thousands a second.
    camtest::LoopbackCapture capture("udp port 3956", 2000);
    ASSERT_TRUE(capture.started());

    camtest::ProgramRun device({"arv-fake-gv-camera-0.8", "-i", "127.0.0.1"});
    ASSERT_TRUE(device.started());
    ASSERT_TRUE(deviceAnswers(5000));

    {
        managerGige manager;
        ASSERT_TRUE(manager.connect("127.0.0.1"));
        std::uint32_t four = 4;
        std::uint64_t value = 0;
        // Heartbeat timeout: what connect wrote comes back.
        ASSERT_TRUE(manager.readReg(managerGige::REG_HEARTBEAT_TIMEOUT, &value, &four));
        EXPECT_EQ(ntohl(static_cast<std::uint32_t>(value)), 3000u);

        char name[33] = {0};
        std::uint32_t count = 32;
        ASSERT_TRUE(manager.readMemory(0x0048, name, &count));
        ASSERT_GT(std::strlen(name), 0u);
        for (const char* c = name; *c != '\0'; ++c)
            EXPECT_TRUE(std::isprint(static_cast<unsigned char>(*c))) << name;

        // Longer than the heartbeat timeout: control survives only through
        // the heartbeat's reads, and the device drops a release from a host
        // that lost control without answering.
        for (int i = 0; i < 40; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ASSERT_TRUE(manager.isConnected());
        }
        ASSERT_TRUE(manager.readReg(managerGige::REG_CCP, &value, &four));
        EXPECT_NE(ntohl(static_cast<std::uint32_t>(value)) & 0x3u, 0u);
        EXPECT_TRUE(manager.disconnect());
    }
    device.stop(SIGTERM);
    capture.stop();
    auto verdict = capture.gvcpVerdict();
    EXPECT_GT(verdict.total, 10);
    EXPECT_EQ(verdict.bad, "");
}
