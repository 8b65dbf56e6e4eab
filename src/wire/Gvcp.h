// The GVCP datagrams that read who a camera is: the command and acknowledge
// headers, the discovery command and the bootstrap block every camera serves
// at address 0 and copies into its discovery acknowledge. Host and simulated
// camera both build and parse them here, so the two cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wire {
namespace gvcp {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t PORT = 3956;
constexpr std::uint8_t KEY = 0x42;
constexpr std::uint8_t FLAG_ACK_REQUIRED = 0x01;
// The camera may broadcast its acknowledge: a host on another subnet than the
// camera still hears it.
constexpr std::uint8_t FLAG_BROADCAST_ACK = 0x10;
constexpr std::size_t HEADER_SIZE = 8;

constexpr std::uint16_t DISCOVERY_CMD = 0x0002;
constexpr std::uint16_t DISCOVERY_ACK = 0x0003;
constexpr std::uint16_t READREG_CMD = 0x0080;
constexpr std::uint16_t READREG_ACK = 0x0081;
constexpr std::uint16_t READMEM_CMD = 0x0084;
constexpr std::uint16_t READMEM_ACK = 0x0085;
constexpr std::uint16_t PENDING_ACK = 0x0089;
constexpr std::uint16_t STATUS_SUCCESS = 0x0000;

constexpr std::uint32_t BOOTSTRAP_ADDRESS = 0x0000;
constexpr std::size_t BOOTSTRAP_SIZE = 0xF8;

struct CommandHeader {
    std::uint8_t flags = FLAG_ACK_REQUIRED;
    std::uint16_t command = 0;
    std::uint16_t length = 0;  // as the datagram says: check it before use
    std::uint16_t reqId = 0;
};

struct AckHeader {
    std::uint16_t status = 0;
    std::uint16_t answer = 0;
    std::uint16_t length = 0;
    std::uint16_t ackId = 0;
};

// A command with its payload; the length field is the payload's size.
Bytes encodeCommand(std::uint8_t flags, std::uint16_t command, std::uint16_t reqId, const Bytes& payload);
// False for a datagram too short for a header or without the GVCP key. The
// length field is left as received: whether it fits is the caller's call
// (a camera answers a lying one with an error status).
bool decodeCommand(const std::uint8_t* p, std::size_t n, CommandHeader* h);

Bytes encodeAck(std::uint16_t status, std::uint16_t answer, std::uint16_t ackId, const Bytes& payload);
// False for a datagram too short for a header or whose length field claims
// more than arrived; *payload then holds exactly `length` bytes.
bool decodeAck(const std::uint8_t* p, std::size_t n, AckHeader* h, Bytes* payload);

Bytes encodeDiscovery(std::uint16_t reqId);
Bytes encodeReadReg(std::uint16_t reqId, std::uint32_t address);
Bytes encodeReadMem(std::uint16_t reqId, std::uint32_t address, std::uint16_t count);
// The time to completion a pending acknowledge announces, in ms; 0 when its
// payload is too short to say.
std::uint16_t pendingMs(const Bytes& payload);

struct Bootstrap {
    std::uint32_t version = 0;  // major << 16 | minor
    std::uint32_t deviceMode = 0;
    std::uint8_t mac[6] = {};
    std::uint32_t ipConfigSupported = 0;
    std::uint32_t ipConfigCurrent = 0;
    std::uint32_t currentIp = 0;  // host order
    std::uint32_t subnetMask = 0;
    std::uint32_t gateway = 0;
    std::string manufacturer;
    std::string model;
    std::string deviceVersion;
    std::string manufacturerInfo;
    std::string serial;
    std::string userName;
};

// The 248 bytes of the block; strings longer than their field keep its last
// byte for the terminating zero.
Bytes encodeBootstrap(const Bootstrap& b);
// False when fewer than 248 bytes are given. A string runs to its first zero
// or to the end of its field, whichever comes first.
bool decodeBootstrap(const std::uint8_t* p, std::size_t n, Bootstrap* out);

// "00:11:22:33:44:55" and "192.168.1.10" (host-order address).
std::string macText(const std::uint8_t mac[6]);
std::string ipText(std::uint32_t hostOrderAddr);

}  // namespace gvcp
}  // namespace wire
