// The camera's side of a firmware download, for tests, benchmarks and fuzz
// targets: a UDP peer that sends read requests and acknowledgements and
// receives blocks.
#pragma once

#include "platform/socket.h"
#include "wire/ByteCodec.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace camtest {

using Bytes = std::vector<std::uint8_t>;

// Bytes without a period a block boundary could hide a shifted block in.
inline Bytes fileBytes(std::size_t size, unsigned seed) {
    Bytes b(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<std::uint8_t>(x);
    }
    return b;
}

inline void writeBytes(const std::filesystem::path& path, const Bytes& data) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes tftpRequest(const std::string& name, std::uint16_t opcode = 1) {
    std::string text = name + '\0' + "octet" + '\0';
    Bytes b(2 + text.size());
    wire::put16(b.data(), opcode);
    std::memcpy(b.data() + 2, text.data(), text.size());
    return b;
}

inline Bytes tftpPacket(std::uint16_t opcode, std::uint16_t number) {
    Bytes b(4);
    wire::put16(b.data(), opcode);
    wire::put16(b.data() + 2, number);
    return b;
}

inline Bytes tftpAck(std::uint16_t block) { return tftpPacket(4, block); }

// One UDP socket on a chosen loopback address and a free port.
class UdpPeer {
public:
    explicit UdpPeer(const char* ip) : m_sock(platform::udpSocket()) {
        sockaddr_in a = platform::makeAddr(ip, 0);
        m_bound = ::bind(m_sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~UdpPeer() { platform::closeSocket(m_sock); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool bound() const { return m_bound; }
    std::uint16_t port() const { return platform::boundPort(m_sock); }
    platform::socket_t socket() const { return m_sock; }

    bool send(const Bytes& b, const sockaddr_in& to) const {
        return platform::sendDatagram(m_sock, b.data(), b.size(), to) == static_cast<int>(b.size());
    }
    // One datagram within timeoutMs; false when none came.
    bool recv(Bytes& out, sockaddr_in* from = nullptr, int timeoutMs = 2000) const {
        if (platform::waitReadable(m_sock, std::int64_t{timeoutMs} * 1000) != platform::WAIT_READABLE)
            return false;
        out.assign(2048, 0);
        int n = platform::recvDatagram(m_sock, reinterpret_cast<char*>(out.data()), out.size(), from);
        if (n < 0)
            return false;
        out.resize(static_cast<std::size_t>(n));
        return true;
    }
    // Nothing arrives within ms.
    bool quietFor(int ms) const {
        Bytes b;
        return !recv(b, nullptr, ms);
    }
    // Every datagram already waiting, without waiting for more.
    std::vector<Bytes> drain() const {
        std::vector<Bytes> out;
        Bytes b;
        while (recv(b, nullptr, 0))
            out.push_back(b);
        return out;
    }

private:
    platform::socket_t m_sock;
    bool m_bound = false;
};

inline std::uint16_t opcodeOf(const Bytes& b) { return b.size() >= 2 ? wire::get16(b.data()) : 0; }
inline std::uint16_t blockOf(const Bytes& b) { return b.size() >= 4 ? wire::get16(b.data() + 2) : 0; }

// Acknowledges blocks as they come, starting with the first one already in
// hand, until a short block; appends the data to *file. False on a time-out
// or a datagram that is not the expected block.
inline bool fetchRest(const UdpPeer& peer, Bytes first, const sockaddr_in& server, Bytes* file,
                      std::vector<std::uint16_t>* numbers = nullptr) {
    Bytes block = std::move(first);
    std::uint16_t expect = 1;
    for (;;) {
        if (block.size() < 4 || opcodeOf(block) != 3 || blockOf(block) != expect)
            return false;
        if (numbers != nullptr)
            numbers->push_back(expect);
        file->insert(file->end(), block.begin() + 4, block.end());
        peer.send(tftpAck(expect), server);
        if (block.size() < 4 + 512)
            return true;
        ++expect;
        if (!peer.recv(block))
            return false;
    }
}

}  // namespace camtest
