// The block logic of serving one file to a camera, apart from any socket or
// thread: each step takes what the camera sent and says what goes out next
// and whether the transfer goes on. The session's transfer is a thin loop
// around it that sends, logs and ends the transfer as told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace transfer {

enum Opcode : std::uint16_t {
    FT_RRQ = 1,
    FT_WRQ = 2,
    FT_DATA = 3,
    FT_ACK = 4,
    FT_ERROR = 5,
    FT_OACK = 6,
};

constexpr std::size_t BLOCK_SIZE = 512;
constexpr std::size_t HEADER_SIZE = 4;  // opcode and block number

// A datagram that came to the service port. name points into the datagram
// and is null when the name does not end inside it.
struct Request {
    std::uint16_t opcode = 0;
    const char* name = nullptr;
};
Request parseRequest(const char* data, std::size_t length);

enum class Action {
    None,      // the datagram has no place in the transfer: nothing goes out
    Send,      // send packet(): the next block
    Resend,    // send packet() again: the block the camera still lacks
    Finished,  // the camera acknowledged the whole file
    Aborted,   // the camera sent an error
    Unknown,   // an opcode no transfer knows
};

struct Step {
    Action action = Action::None;
    // Resend: the block number acknowledged; Unknown: the opcode.
    std::uint16_t value = 0;
};

// Lock-step and without a timer: one block in flight, and whatever the
// camera acknowledges out of turn gets the block it still lacks. A lost
// block or acknowledgement is repaired by the camera repeating its
// acknowledgement, so time plays no part here.
class BlockSender {
public:
    // Reads up to n bytes of the file; 0 at its end or on an error.
    using Read = std::function<std::size_t(char* into, std::size_t n)>;

    // A new transfer from the start of the file: block 1, or Finished for
    // an empty file.
    Step start(Read read);
    // One datagram from the camera.
    Step receive(const char* data, std::size_t length);
    // The camera's acknowledgement of block ack.
    Step acknowledge(std::uint16_t ack);
    // Ends the transfer: later datagrams get nothing.
    void stop();

    bool running() const { return m_running; }
    const char* packet() const { return m_packet; }
    std::size_t packetSize() const { return HEADER_SIZE + m_dataBytes; }
    std::size_t dataBytes() const { return m_dataBytes; }
    // Number of the block in packet().
    std::uint16_t block() const { return m_block; }
    // packet() holds the file's last block (shorter than BLOCK_SIZE).
    bool lastBlock() const { return m_exhausted; }

private:
    Step finish(Action action, std::uint16_t value = 0);

    Read m_read;
    bool m_running = false;
    bool m_exhausted = false;
    std::uint16_t m_block = 0;
    std::size_t m_dataBytes = 0;
    char m_packet[HEADER_SIZE + BLOCK_SIZE] = {};
};

}  // namespace transfer
