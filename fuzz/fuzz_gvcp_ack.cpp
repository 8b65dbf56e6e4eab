// Acknowledges from a broken or hostile camera, through the GVCP client's
// whole transaction. Every datagram of the input is waiting on the client's
// socket when the request goes out; the client may take only a well-formed
// acknowledge of its own request, must never read past what arrived, and
// must leave its time-out as it found it.
//
// Input: byte 0 picks the operation (bits 0-1) and its size (bits 2-7);
// then datagrams, each a flag byte (bit 0: carry the id of the request
// being made, bit 1: the id of the one before), a 16-bit big-endian length
// and that many bytes.
#include "FuzzRig.h"

#include "wire/ByteCodec.h"
#include "upgrade/GigEProtocol.h"


using camfuzz::Bytes;

namespace {

// A client whose waits end at once when nothing is left to read: what is
// under test is what the transaction does with what arrives, not how long
// it waits for more.
class ImpatientProtocol : public CGigEProtocol {
public:
    explicit ImpatientProtocol(platform::socket_t s) : CGigEProtocol(s), m_sock(s) {}
    int recvData(char* buffer, std::uint32_t length) override {
        if (platform::waitReadable(m_sock, 0) != platform::WAIT_READABLE)
            return -1;
        return CGigEProtocol::recvData(buffer, length);
    }

private:
    platform::socket_t m_sock;
};

struct Rig {
    camtest::UdpPeer client{"127.0.0.1"};
    camtest::UdpPeer camera{"127.0.0.1"};
    ImpatientProtocol* protocol = nullptr;
    sockaddr_in clientAddr{};

    Rig() {
        if (!client.bound() || !camera.bound())
            camfuzz::finding("cannot bind loopback sockets");
        clientAddr = platform::makeAddr("127.0.0.1", client.port());
        protocol = new ImpatientProtocol(client.socket());
        protocol->setAddress("127.0.0.1", camera.port());
    }
};

Rig& rig() {
    static Rig* r = new Rig;
    return *r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    Rig& r = rig();
    const unsigned op = data[0] & 3u;
    const unsigned n = 1u + (data[0] >> 2);  // 1..64 registers or bytes
    const std::uint16_t id = r.protocol->nextRequestId();
    const std::uint16_t previous = static_cast<std::uint16_t>(id - 1);

    wire::Reader in(data + 1, size - 1);
    for (int count = 0; count < 16 && in.remaining() >= 3; ++count) {
        std::uint8_t flags = in.u8();
        std::size_t length = in.u16() % 1200u;  // past the client's 1024-byte buffer
        length = std::min(length, in.remaining());
        Bytes datagram(data + 1 + in.position(), data + 1 + in.position() + length);
        in.skip(length);
        if (length >= 8 && (flags & 3u) != 0)
            wire::put16(datagram.data() + 6, (flags & 1u) != 0 ? id : previous);
        r.camera.send(datagram, r.clientAddr);
    }

    const std::uint64_t timeout = r.protocol->recvTimeoutUs();
    switch (op) {
    case 0: {
        ReadRegRequest request{};
        ReadRegAck ack{};
        request.count = n;
        for (unsigned i = 0; i < n; ++i)
            request.address[i] = 0x0A00 + 4 * i;
        if (r.protocol->readReg(request, ack) &&
            (ack.count != n || ack.header.status != 0 || ack.header.acknowledge != READREG_ACK))
            camfuzz::finding("readReg succeeded without the values asked for");
        break;
    }
    case 1: {
        WriteRegRequest request{};
        WriteRegAck ack{};
        request.count = n;
        if (r.protocol->writeReg(request, ack) &&
            (ack.header.status != 0 || ack.header.acknowledge != WRITEREG_ACK))
            camfuzz::finding("writeReg succeeded without a successful acknowledge");
        break;
    }
    case 2: {
        ReadMemRequest request{};
        ReadMemAck ack{};
        request.count = static_cast<std::uint16_t>(4 * n);
        if (r.protocol->readMem(request, ack) &&
            (ack.header.status != 0 || ack.header.length < 4 || ack.header.length > 4 + GVCP_MAX_MEM))
            camfuzz::finding("readMem succeeded with a length it cannot hold");
        break;
    }
    default: {
        WriteMemRequest request{};
        WriteMemAck ack{};
        request.header.length = static_cast<std::uint16_t>(4 + 4 * n);
        if (r.protocol->writeMem(request, ack) &&
            (ack.header.status != 0 || ack.header.acknowledge != WRITEMEM_ACK))
            camfuzz::finding("writeMem succeeded without a successful acknowledge");
        break;
    }
    }
    if (r.protocol->recvTimeoutUs() != timeout)
        camfuzz::finding("the transaction left its time-out changed");

    // Nothing of this input may reach the next one.
    r.client.drain();
    r.camera.drain();
    return 0;
}
