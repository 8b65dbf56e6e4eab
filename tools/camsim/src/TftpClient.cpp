#include "camsim/TftpClient.h"

#include "wire/ByteCodec.h"

#include <cstring>

namespace camsim {

namespace {

constexpr std::uint16_t OP_RRQ = 1;
constexpr std::uint16_t OP_DATA = 3;
constexpr std::uint16_t OP_ACK = 4;
constexpr std::uint16_t OP_ERROR = 5;
constexpr std::size_t BLOCK = 512;

class SocketGuard {
public:
    explicit SocketGuard(platform::socket_t s) : m_s(s) {}
    ~SocketGuard() { platform::closeSocket(m_s); }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

private:
    platform::socket_t m_s;
};

void sendError(platform::socket_t s, const sockaddr_in& to, std::uint16_t code, const char* text) {
    std::uint8_t pkt[64];
    wire::Writer w(pkt, sizeof pkt);
    w.u16(OP_ERROR);
    w.u16(code);
    w.bytes(text, std::strlen(text) + 1);
    platform::sendDatagram(s, pkt, w.size(), to);
}

}  // namespace

TftpResult tftpFetch(const TftpRequest& req, const platform::Waker* stop) {
    TftpResult res;
    auto fail = [&res](TftpResult::Outcome o, std::string why) {
        res.outcome = o;
        res.message = std::move(why);
        return res;
    };
    auto note = [&req](const std::string& line) {
        if (req.note)
            req.note(line);
    };

    platform::socket_t s = platform::udpSocket();
    if (s == platform::INVALID_SOCK)
        return fail(TftpResult::SOCKET_FAILED, "no socket");
    SocketGuard guard(s);
    sockaddr_in local = platform::makeAddr(req.localIp.c_str(), 0);
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return fail(TftpResult::SOCKET_FAILED, "cannot bind " + req.localIp);

    std::uint8_t last[BLOCK + 4];  // the packet a time-out repeats
    wire::Writer rrq(last, sizeof last);
    rrq.u16(OP_RRQ);
    rrq.bytes(req.file.c_str(), req.file.size() + 1);
    rrq.bytes("octet", 6);
    if (!rrq.ok())
        return fail(TftpResult::SOCKET_FAILED, "file name too long");
    std::size_t lastLen = rrq.size();
    sockaddr_in peer = platform::makeAddr(req.serverIp.c_str(), req.serverPort);
    platform::sendDatagram(s, last, lastLen, peer);

    bool locked = false;  // the server's transfer port is known
    std::uint16_t expected = 1;
    int tries = 0;
    std::uint8_t buf[BLOCK + 4 + 1];
    for (;;) {
        int w = platform::waitReadable(s, std::int64_t{req.timeoutMs} * 1000, stop);
        if (w == platform::WAIT_WOKEN)
            return fail(TftpResult::STOPPED, "stopped");
        if (w == platform::WAIT_ERROR)
            return fail(TftpResult::SOCKET_FAILED, "wait failed");
        if (w == platform::WAIT_TIMED_OUT) {
            if (++tries > req.retries)
                return locked ? fail(TftpResult::TIMED_OUT, "no block " + std::to_string(expected))
                              : fail(TftpResult::NO_ANSWER, "no answer to the read request");
            ++res.resends;
            note(locked ? "re-sending acknowledgement of block " +
                              std::to_string(static_cast<std::uint16_t>(expected - 1))
                        : "re-sending read request for " + req.file);
            platform::sendDatagram(s, last, lastLen, peer);
            continue;
        }
        sockaddr_in from{};
        int n = platform::recvDatagram(s, reinterpret_cast<char*>(buf), sizeof buf, &from);
        if (n < 4 || n > static_cast<int>(BLOCK + 4) || from.sin_addr.s_addr != peer.sin_addr.s_addr)
            continue;
        wire::Reader r(buf, static_cast<std::size_t>(n));
        std::uint16_t op = r.u16();
        std::uint16_t block = r.u16();
        if (locked && from.sin_port != peer.sin_port) {
            // A read request we repeated while the first answer was on its
            // way makes the host start over from a new port: follow it.
            if (op == OP_DATA && block == 1) {
                note("transfer restarted by the server from port " +
                     std::to_string(ntohs(from.sin_port)));
                locked = false;
                expected = 1;
                res.data.clear();
                res.blocks = 0;
            } else {
                sendError(s, from, 5, "Unknown transfer ID");
                continue;
            }
        }
        if (op == OP_ERROR) {
            const char* text = reinterpret_cast<const char*>(r.current());
            return fail(TftpResult::SERVER_ERROR,
                        "error " + std::to_string(block) + " '" +
                            std::string(text, strnlen(text, r.remaining())) + "'");
        }
        if (op != OP_DATA)
            continue;
        if (req.dropBlock && req.dropBlock()) {
            note("dropped block " + std::to_string(block));
            continue;
        }
        if (!locked && block == 1) {
            locked = true;
            peer.sin_port = from.sin_port;
            res.serverPort = ntohs(from.sin_port);
        }
        if (!locked)
            continue;
        if (block == expected) {
            std::size_t len = r.remaining();
            if (res.data.size() + len > req.maxBytes) {
                sendError(s, peer, 3, "Disk full or allocation exceeded");
                return fail(TftpResult::TOO_LARGE, "more than " + std::to_string(req.maxBytes) + " bytes");
            }
            res.data.insert(res.data.end(), r.current(), r.current() + len);
            ++res.blocks;
            if (req.progress && !req.progress(res.data.size()))
                return fail(TftpResult::ABANDONED, "abandoned at block " + std::to_string(block));
            wire::Writer ack(last, sizeof last);
            ack.u16(OP_ACK);
            ack.u16(block);
            lastLen = ack.size();
            platform::sendDatagram(s, last, lastLen, peer);
            tries = 0;
            ++expected;
            if (len < BLOCK || (req.expectedBytes != 0 && res.data.size() == req.expectedBytes))
                return res;
        } else if (block == static_cast<std::uint16_t>(expected - 1)) {
            // Our acknowledgement was lost: say it again.
            platform::sendDatagram(s, last, lastLen, peer);
        }
    }
}

}  // namespace camsim
