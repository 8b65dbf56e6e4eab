// Every camera register the product reads or writes: the bootstrap
// registers of the control protocol, and the vendor's upgrade service.
// (The simulated camera keeps its own copy on purpose: it is the other side
// of every test.)
#pragma once

#include <cstdint>

namespace reg {

// Bootstrap.
constexpr std::uint32_t BOOTSTRAP_BLOCK = 0x0000;  // identity strings, read as one block
constexpr std::uint32_t BOOTSTRAP_BLOCK_SIZE = 0xF8;
constexpr std::uint32_t HEARTBEAT_TIMEOUT = 0x0938;
constexpr std::uint32_t CCP = 0x0A00;  // control channel privilege

// Vendor upgrade service.
constexpr std::uint32_t KIND = 0x7E000304;               // hardware kind
constexpr std::uint32_t PRE_UPGRADE_CLEAR = 0x7E000300;
constexpr std::uint32_t FILE_SERVER_IP = 0xEFFFFFEC;     // 16 bytes, dotted text
constexpr std::uint32_t UPGRADE_CMD = 0xEFFFFFFC;
constexpr std::uint32_t UPGRADE_STATUS = 0xEFFFFFE8;     // status word in the low 16 bits
constexpr std::uint32_t DEVICE_RESET = 0xEFFFFFC4;

// The kind register's value of a kind-1 camera; every other value is kind 0.
constexpr std::uint32_t KIND1_VALUE = 0x1A4;
constexpr int kindOf(std::uint32_t value) { return value == KIND1_VALUE ? 1 : 0; }

}  // namespace reg
