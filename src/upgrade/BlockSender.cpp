#include "upgrade/BlockSender.h"

#include "wire/ByteCodec.h"

#include <cstring>
#include <utility>

namespace transfer {

Request parseRequest(const char* data, std::size_t length) {
    wire::Reader reader(data, length);
    Request request;
    request.opcode = reader.u16();
    // A name that runs to the datagram's end is no name at all.
    const char* name = data + reader.position();
    if (reader.remaining() > 0 && std::memchr(name, '\0', reader.remaining()) != nullptr)
        request.name = name;
    return request;
}

Step BlockSender::start(Read read) {
    m_read = std::move(read);
    m_running = true;
    m_exhausted = false;
    m_block = 0;
    m_dataBytes = 0;
    return acknowledge(0);
}

Step BlockSender::receive(const char* data, std::size_t length) {
    if (!m_running)
        return {};
    wire::Reader reader(data, length);
    std::uint16_t opcode = reader.u16();
    if (!reader.ok())
        return {};
    switch (opcode) {
    case FT_WRQ:
    case FT_DATA:
    case FT_OACK:
        return {};
    case FT_ACK: {
        // One too short to carry a block number is unexpected like any
        // other: it acknowledges nothing new, so the current block goes again.
        std::uint16_t block = reader.u16();
        return acknowledge(reader.ok() ? block : static_cast<std::uint16_t>(m_block - 1));
    }
    case FT_ERROR:
        return finish(Action::Aborted);
    default:
        return finish(Action::Unknown, opcode);
    }
}

Step BlockSender::acknowledge(std::uint16_t ack) {
    if (!m_running)
        return {};
    if (ack != m_block)
        return {Action::Resend, ack};
    ++m_block;
    if (m_exhausted)
        return finish(Action::Finished);
    wire::Writer header(m_packet, HEADER_SIZE);
    header.u16(FT_DATA);
    header.u16(m_block);
    m_dataBytes = m_read(m_packet + HEADER_SIZE, BLOCK_SIZE);
    // A length that is a multiple of the block size ends with the
    // acknowledgement of its last full block, not with an empty one.
    if (m_dataBytes == 0)
        return finish(Action::Finished);
    m_exhausted = m_dataBytes < BLOCK_SIZE;
    return {Action::Send, m_block};
}

void BlockSender::stop() {
    m_running = false;
    m_read = nullptr;
}

Step BlockSender::finish(Action action, std::uint16_t value) {
    stop();
    return {action, value};
}

}  // namespace transfer
