// The GVCP client against a fake camera on loopback: retries, pending
// acknowledges, stray and malformed datagrams, request ids and wire sizes.
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "wire/ByteCodec.h"
#include "upgrade/GigEProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>

using camtest::FakeGvcpCamera;
using camtest::GvcpRequest;
using camtest::LogCapture;

namespace {

// Remembers the time-out and the thread of each wait of the client. With
// silentMs set, nothing ever answers and each wait lasts that long.
class RecordingProtocol : public CGigEProtocol {
public:
    explicit RecordingProtocol(platform::socket_t s, int silentMs = 0) : CGigEProtocol(s), m_silentMs(silentMs) {}
    int recvData(char* buffer, std::uint32_t length) override {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_waits.push_back(recvTimeoutUs());
            m_order.push_back(std::this_thread::get_id());
        }
        if (m_silentMs == 0)
            return CGigEProtocol::recvData(buffer, length);
        std::this_thread::sleep_for(std::chrono::milliseconds(m_silentMs));
        return -1;
    }
    std::vector<std::uint64_t> takeWaits() {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<std::uint64_t> out;
        out.swap(m_waits);
        return out;
    }
    std::vector<std::thread::id> order() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_order;
    }
    void mark() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_order.push_back(std::thread::id());
    }

private:
    const int m_silentMs;
    std::mutex m_lock;
    std::vector<std::uint64_t> m_waits;
    std::vector<std::thread::id> m_order;
};

// A client socket and protocol pointed at a fake camera of its own.
struct Rig {
    explicit Rig(const char* ip) : camera(ip), socket(platform::udpSocket()), client(socket) {
        client.setAddress(ip, 3956);
    }
    ~Rig() { platform::closeSocket(socket); }

    bool readOne(std::uint32_t address, ReadRegAck& ack) {
        ReadRegRequest request{};
        request.count = 1;
        request.address[0] = address;
        request.header.flags = GVCP_FLAG_ACK_REQUIRED;
        return client.readReg(request, ack);
    }
    bool writeOne(std::uint32_t address, std::uint32_t value, WriteRegAck& ack) {
        WriteRegRequest request{};
        request.count = 1;
        request.pair[0].address = address;
        request.pair[0].value = htonl(value);
        request.header.flags = GVCP_FLAG_ACK_REQUIRED;
        return client.writeReg(request, ack);
    }

    FakeGvcpCamera camera;
    platform::socket_t socket;
    RecordingProtocol client;
};

double secondsBetween(const GvcpRequest& a, const GvcpRequest& b) {
    return std::chrono::duration<double>(b.at - a.at).count();
}

}  // namespace

TEST(GvcpProtocol, SilentCameraGetsThreeIdenticalRequestsOneSecondApart) {
    Rig rig("127.0.1.10");
    ASSERT_TRUE(rig.camera.ok());
    LogCapture log;
    rig.camera.setSilent(true);

    WriteRegAck ack{};
    EXPECT_FALSE(rig.writeOne(0x0A00, 2, ack));
    EXPECT_EQ(ack.header.status, GEV_STATUS_TIMEOUT);

    auto sent = rig.camera.requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].raw, sent[1].raw);
    EXPECT_EQ(sent[0].raw, sent[2].raw);
    // Arrival times carry the fake's scheduling delays; the waits below are exact.
    for (int i = 1; i < 3; ++i) {
        EXPECT_GT(secondsBetween(sent[i - 1], sent[i]), 0.8);
        EXPECT_LT(secondsBetween(sent[i - 1], sent[i]), 2.0);
    }
    EXPECT_EQ(rig.client.takeWaits(), std::vector<std::uint64_t>(3, 1000000));
    EXPECT_EQ(log.count("] select timeout"), 3u);
    EXPECT_EQ(log.count("] GEV_STATUS_TIMEOUT\n"), 1u);
}

TEST(GvcpProtocol, LongPendingExtendsOnlyThisTransaction) {
    Rig rig("127.0.1.11");
    ASSERT_TRUE(rig.camera.ok());
    // The answer comes after the one-second wait would have ended.
    rig.camera.setPending(2500, 1600);

    WriteRegAck ack{};
    EXPECT_TRUE(rig.writeOne(0x0938, 3000, ack));
    EXPECT_EQ(rig.camera.requestCount(), 1u);
    EXPECT_EQ(rig.client.takeWaits(), (std::vector<std::uint64_t>{1000000, 2510000}));
    EXPECT_EQ(rig.client.recvTimeoutUs(), 1000000u);

    rig.camera.setPending(-1, 0);
    ReadRegAck readAck{};
    EXPECT_TRUE(rig.readOne(0x0938, readAck));
    EXPECT_EQ(rig.client.takeWaits(), std::vector<std::uint64_t>{1000000});
}

TEST(GvcpProtocol, ShortPendingThenSilenceListensWithoutResending) {
    Rig rig("127.0.1.12");
    ASSERT_TRUE(rig.camera.ok());
    LogCapture log;
    rig.camera.setPending(1000, -1);

    WriteRegAck ack{};
    EXPECT_FALSE(rig.writeOne(0x0A00, 2, ack));
    // Something came, none of it the acknowledge: no time-out status.
    EXPECT_EQ(ack.header.status, 0);
    EXPECT_EQ(rig.camera.requestCount(), 1u);
    EXPECT_EQ(rig.client.takeWaits(), std::vector<std::uint64_t>(4, 1000000));
    EXPECT_EQ(log.count("] Already receive padding. Then recvData fail, and break the circle\n"), 1u);
    EXPECT_EQ(log.count("GEV_STATUS_TIMEOUT"), 0u);
}

TEST(GvcpProtocol, WireFormatStatusesAndRequestIds) {
    Rig rig("127.0.1.14");
    ASSERT_TRUE(rig.camera.ok());
    rig.camera.setRegister(0x0938, 0x01020304);

    ReadRegAck ack{};
    ASSERT_TRUE(rig.readOne(0x0938, ack));
    auto sent = rig.camera.requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].raw, (std::vector<std::uint8_t>{0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x10,
                                                      0x01, 0x00, 0x00, 0x09, 0x38}));
    EXPECT_EQ(ack.count, 1u);
    EXPECT_EQ(ack.header.ack_id, 4097);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&ack.value[0]);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));

    // Values of register writes go out as handed in; addresses are converted.
    WriteRegAck wack{};
    ASSERT_TRUE(rig.writeOne(0x7E000300, 0xA1B2C3D4, wack));
    EXPECT_EQ(rig.camera.getRegister(0x7E000300), 0xA1B2C3D4u);
    EXPECT_EQ(wack.index, 1);

    // A device error ends the transaction at once and stays in the ack.
    rig.camera.clearRequests();
    rig.camera.setStatusFor(0x0938, FakeGvcpCamera::STATUS_ACCESS_DENIED);
    auto start = std::chrono::steady_clock::now();
    ReadRegAck denied{};
    EXPECT_FALSE(rig.readOne(0x0938, denied));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900))
        << "no second attempt";
    EXPECT_EQ(denied.header.status, FakeGvcpCamera::STATUS_ACCESS_DENIED);
    EXPECT_EQ(rig.camera.requestCount(), 1u);
    rig.camera.setStatusFor(0x0938, 0);

    // Ids run to 59999 and start again at 4097; every transaction takes one.
    rig.camera.clearRequests();
    rig.client.setNextRequestId(59999);
    ReadMemRequest mem{};
    ReadMemAck memAck{};
    mem.header.flags = GVCP_FLAG_ACK_REQUIRED;
    mem.address = 0x0938;
    mem.count = 4;
    ASSERT_TRUE(rig.client.readMem(mem, memAck));
    ASSERT_TRUE(rig.readOne(0x0938, ack));
    sent = rig.camera.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].reqId, 59999);
    EXPECT_EQ(sent[1].reqId, 4097);
    EXPECT_EQ(memAck.header.length, 8);
    EXPECT_EQ(memAck.address, 0x0938u);
}

// The heartbeat reads back to back; a camera that stopped answering makes
// each of its transactions long. Another thread's transaction must still get
// its turn after the one in progress, not whenever the heartbeat happens to
// let go of the lock at the right moment.
TEST(GvcpProtocol, TransactionsTakeTurnsWithABackToBackReader) {
    platform::socket_t s = platform::udpSocket();
    RecordingProtocol client(s, 20);  // 20 ms waits instead of a second
    client.setAddress("127.0.1.19", 3956);
    std::atomic<bool> stop{false};
    std::thread heartbeat([&] {
        while (!stop) {
            ReadRegRequest request{};
            ReadRegAck ack{};
            request.count = 1;
            client.readReg(request, ack);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    client.mark();
    WriteRegRequest request{};
    WriteRegAck ack{};
    request.count = 1;
    client.writeReg(request, ack);
    stop = true;
    heartbeat.join();
    platform::closeSocket(s);

    // Between the moment the write asked and its first wait, only what was
    // left of the transaction in progress: at most its three waits.
    auto order = client.order();
    auto asked = std::find(order.begin(), order.end(), std::thread::id());
    auto own = std::find(asked, order.end(), std::this_thread::get_id());
    ASSERT_NE(own, order.end());
    EXPECT_LE(own - asked - 1, 3);
}
