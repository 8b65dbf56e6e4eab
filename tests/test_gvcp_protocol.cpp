// The GVCP client with the camera's side in memory: the commands it builds,
// what it makes of good, stray and malformed acknowledges, its retries and
// waits; and once over loopback against a fake camera.
#include "support/FakeGvcpCamera.h"
#include "support/LogCapture.h"
#include "wire/ByteCodec.h"
#include "wire/Gvcp.h"
#include "upgrade/GigEProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <mutex>

using Bytes = std::vector<std::uint8_t>;
using camtest::LogCapture;
namespace gvcp = wire::gvcp;

namespace {

// Keeps what the client sends; each of its waits takes the next datagram of
// the script, and an empty script is a wait that timed out. With holdMs
// set, every wait lasts that long and nothing comes.
class ScriptedProtocol : public CGigEProtocol {
public:
    explicit ScriptedProtocol(int holdMs = 0) : CGigEProtocol(platform::INVALID_SOCK), m_holdMs(holdMs) {}

    int sendMsg(const char* buffer, std::uint32_t length, const sockaddr_in&) override {
        sent.emplace_back(buffer, buffer + length);
        return static_cast<int>(length);
    }
    int recvData(char* buffer, std::uint32_t length) override {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            waits.push_back(recvTimeoutUs());
            order.push_back(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(m_holdMs));
        if (script.empty() || script.front().size() > length)
            return -1;
        std::copy(script.front().begin(), script.front().end(), buffer);
        int n = static_cast<int>(script.front().size());
        script.pop_front();
        return n;
    }
    // An acknowledge of the coming request.
    void answer(std::uint16_t status, std::uint16_t code, const Bytes& payload) {
        script.push_back(gvcp::encodeAck(status, code, nextRequestId(), payload));
    }

    std::mutex m_lock;  // waits and order, which two threads may touch
    std::deque<Bytes> script;
    std::vector<Bytes> sent;
    std::vector<std::uint64_t> waits;
    std::vector<std::thread::id> order;

private:
    const int m_holdMs;
};

bool readOne(CGigEProtocol& client, std::uint32_t address, ReadRegAck& ack) {
    ReadRegRequest request{};
    request.count = 1;
    request.address[0] = address;
    request.header.flags = GVCP_FLAG_ACK_REQUIRED;
    return client.readReg(request, ack);
}

bool writeOne(CGigEProtocol& client, std::uint32_t address, std::uint32_t value, WriteRegAck& ack) {
    WriteRegRequest request{};
    request.count = 1;
    request.pair[0].address = address;
    request.pair[0].value = htonl(value);
    request.header.flags = GVCP_FLAG_ACK_REQUIRED;
    return client.writeReg(request, ack);
}

}  // namespace

TEST(GvcpProtocol, CommandsOnTheWireAndTheirAcknowledges) {
    ScriptedProtocol client;
    client.answer(0, READREG_ACK, {1, 2, 3, 4});
    ReadRegAck ack{};
    ASSERT_TRUE(readOne(client, 0x0938, ack));
    EXPECT_EQ(client.sent[0], (Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x10, 0x01, 0x00, 0x00, 0x09, 0x38}));
    EXPECT_EQ(ack.count, 1u);
    EXPECT_EQ(ack.header.ack_id, 4097);
    const auto* value = reinterpret_cast<const std::uint8_t*>(&ack.value[0]);
    EXPECT_EQ(Bytes(value, value + 4), (Bytes{1, 2, 3, 4}));

    // Values of register writes go out as handed in; addresses are converted.
    client.answer(0, WRITEREG_ACK, {0, 0, 0, 1});
    WriteRegAck wack{};
    ASSERT_TRUE(writeOne(client, 0x7E000300, 0xA1B2C3D4, wack));
    EXPECT_EQ(Bytes(client.sent[1].begin() + 8, client.sent[1].end()),
              (Bytes{0x7E, 0x00, 0x03, 0x00, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(wack.index, 1);

    // Ids run to 59999 and start again at 4097; every transaction takes one.
    // The camera's side of the codec reads what the client wrote.
    client.setNextRequestId(59999);
    client.answer(0, READMEM_ACK, {0, 0, 0x09, 0x38, 9, 8, 7, 6});
    ReadMemRequest mem{};
    ReadMemAck memAck{};
    mem.address = 0x0938;
    mem.count = 4;
    ASSERT_TRUE(client.readMem(mem, memAck));
    EXPECT_EQ(memAck.address, 0x0938u);
    EXPECT_EQ(Bytes(memAck.data, memAck.data + 4), (Bytes{9, 8, 7, 6}));
    client.answer(camtest::FakeGvcpCamera::STATUS_ACCESS_DENIED, READREG_ACK, {});
    EXPECT_FALSE(readOne(client, 0x0938, ack));
    // A device error ends the transaction at once and stays in the ack.
    EXPECT_EQ(ack.header.status, camtest::FakeGvcpCamera::STATUS_ACCESS_DENIED);
    ASSERT_EQ(client.sent.size(), 4u);
    EXPECT_EQ(client.waits.size(), 4u);
    gvcp::CommandHeader h;
    ASSERT_TRUE(gvcp::decodeCommand(client.sent[2].data(), client.sent[2].size(), &h));
    EXPECT_TRUE(h.command == READMEM_CMD && h.length == 8 && h.reqId == 59999);
    EXPECT_EQ(Bytes(client.sent[2].begin() + 8, client.sent[2].end()), (Bytes{0, 0, 0x09, 0x38, 0, 0, 0, 4}));
    EXPECT_EQ(wire::get16(client.sent[3].data() + 6), 4097);
}

// Each broken or foreign datagram costs the transaction one of its three
// waits and nothing else: the good acknowledge after it is taken, with no
// second request.
TEST(GvcpProtocol, MalformedAndStrayAcknowledgesAreIgnored) {
    ScriptedProtocol client;
    const std::uint16_t id = client.nextRequestId();
    const Bytes good = gvcp::encodeAck(0, READREG_ACK, id, {0, 0, 0, 7});
    Bytes lying = good;
    wire::put16(lying.data() + 4, 8);  // promises more than arrived
    const std::vector<Bytes> bad = {
        Bytes(good.begin(), good.begin() + 7),
        lying,
        gvcp::encodeAck(0, READREG_ACK, static_cast<std::uint16_t>(id - 1), {0, 0, 0, 1}),
        gvcp::encodeAck(0, WRITEREG_ACK, id, {0, 0, 0, 1}),
        gvcp::encodeAck(0, READREG_ACK, id, {0, 0, 0, 1, 0, 0, 0, 2}),  // more values than asked
        gvcp::encodeAck(0, READREG_ACK, id, {0, 0, 0, 1, 0, 0}),
        gvcp::encodeAck(0, READREG_ACK, id, {}),
        gvcp::encodeAck(0, PENDING_ACK, id, {0, 0}),  // too short to say how long
    };
    for (const Bytes& datagram : bad) {
        client.setNextRequestId(id);
        client.sent.clear();
        client.script = {datagram, good};
        ReadRegAck ack{};
        ASSERT_TRUE(readOne(client, 0x0A00, ack)) << datagram.size() << " bytes";
        EXPECT_EQ(ack.value[0], htonl(7));
        EXPECT_EQ(client.sent.size(), 1u);
    }
    // Three of them and the transaction fails; something came, so it is no
    // time-out.
    client.script = {bad[0], bad[2], bad[4]};
    ReadRegAck ack{};
    EXPECT_FALSE(readOne(client, 0x0A00, ack));
    EXPECT_EQ(ack.header.status, 0);
}

// The camera's half of the codec, which the simulated camera and discovery
// use: lengths are checked against what arrived.
TEST(GvcpProtocol, CameraSideCodecChecksLengths) {
    gvcp::CommandHeader h;
    Bytes command = gvcp::encodeReadReg(7, 0x0938);
    EXPECT_TRUE(gvcp::decodeCommand(command.data(), command.size(), &h));
    EXPECT_FALSE(gvcp::decodeCommand(command.data(), 7, &h));
    command[0] = 0x43;
    EXPECT_FALSE(gvcp::decodeCommand(command.data(), command.size(), &h));

    gvcp::AckHeader a;
    Bytes payload;
    Bytes ack = gvcp::encodeAck(0, gvcp::READMEM_ACK, 7, {1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(gvcp::decodeAck(ack.data(), ack.size() - 1, &a, &payload));
    ack.insert(ack.end(), {9, 9});  // trailing bytes beyond the length field
    ASSERT_TRUE(gvcp::decodeAck(ack.data(), ack.size(), &a, &payload));
    EXPECT_EQ(payload, (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(gvcp::pendingMs({0, 0, 0x03}), 0);
}

TEST(GvcpProtocol, PendingAcknowledgesSetTheWaits) {
    LogCapture log;
    {
        // A long pending acknowledge stretches only this transaction's wait.
        ScriptedProtocol client;
        client.answer(0, PENDING_ACK, {0, 0, 0x09, 0xC4});  // 2500 ms
        client.answer(0, WRITEREG_ACK, {0, 0, 0, 1});
        WriteRegAck ack{};
        EXPECT_TRUE(writeOne(client, 0x0938, 3000, ack));
        EXPECT_EQ(client.sent.size(), 1u);
        EXPECT_EQ(client.waits, (std::vector<std::uint64_t>{1000000, 2510000}));
        EXPECT_EQ(client.recvTimeoutUs(), 1000000u);
    }
    {
        // A short one, then silence: the client listens without resending.
        ScriptedProtocol client;
        client.answer(0, PENDING_ACK, {0, 0, 0x03, 0xE8});  // 1000 ms
        WriteRegAck ack{};
        EXPECT_FALSE(writeOne(client, 0x0A00, 2, ack));
        EXPECT_EQ(ack.header.status, 0);
        EXPECT_EQ(client.sent.size(), 1u);
        EXPECT_EQ(client.waits, std::vector<std::uint64_t>(4, 1000000));
        EXPECT_EQ(log.count("] Already receive padding. Then recvData fail, and break the circle\n"), 1u);
    }
}

// The real receive: three identical requests a wait apart, then an answer.
TEST(GvcpProtocol, OverLoopbackWaitsRetryAndAnswersArrive) {
    camtest::FakeGvcpCamera camera("127.0.1.10");
    ASSERT_TRUE(camera.ok());
    platform::socket_t s = platform::udpSocket();
    CGigEProtocol client(s);
    client.setAddress("127.0.1.10", 3956);
    client.setRecvTimeoutUs(100000);
    LogCapture log;

    camera.setSilent(true);
    WriteRegAck ack{};
    EXPECT_FALSE(writeOne(client, 0x0A00, 2, ack));
    EXPECT_EQ(ack.header.status, GEV_STATUS_TIMEOUT);
    auto sent = camera.requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_TRUE(sent[0].raw == sent[1].raw && sent[1].raw == sent[2].raw);
    EXPECT_GT(sent[2].at - sent[0].at, std::chrono::milliseconds(180));
    EXPECT_EQ(log.count("] select timeout"), 3u);
    EXPECT_EQ(log.count("] GEV_STATUS_TIMEOUT\n"), 1u);

    camera.setSilent(false);
    camera.setRegister(0x0938, 0x01020304);
    ReadRegAck read{};
    EXPECT_TRUE(readOne(client, 0x0938, read));
    EXPECT_EQ(read.value[0], htonl(0x01020304));
    platform::closeSocket(s);
}

// The heartbeat reads back to back; a camera that stopped answering makes
// each of its transactions long. Another thread's transaction must still get
// its turn after the one in progress, not whenever the heartbeat happens to
// let go of the lock at the right moment.
TEST(GvcpProtocol, TransactionsTakeTurnsWithABackToBackReader) {
    ScriptedProtocol client(20);  // 20 ms waits instead of a second
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
    {
        std::lock_guard<std::mutex> lock(client.m_lock);
        client.order.push_back(std::thread::id());
    }
    WriteRegRequest request{};
    WriteRegAck ack{};
    request.count = 1;
    client.writeReg(request, ack);
    stop = true;
    heartbeat.join();

    // Between the moment the write asked and its first wait, only what was
    // left of the transaction in progress: at most its three waits.
    std::lock_guard<std::mutex> lock(client.m_lock);
    auto asked = std::find(client.order.begin(), client.order.end(), std::thread::id());
    auto own = std::find(asked, client.order.end(), std::this_thread::get_id());
    ASSERT_NE(own, client.order.end());
    EXPECT_LE(own - asked - 1, 3);
}
