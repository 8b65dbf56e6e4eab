// The transfer after a read request, driven by whatever the camera sends
// back: acknowledgements in and out of turn, duplicates, errors, short and
// unknown datagrams. Every block that goes out must hold the file's bytes
// for its number, and nothing may go out once the camera ended the transfer.
//
// Input: byte 0 picks the file; then messages of one byte each: below 0xE0
// an acknowledgement of block (byte % 16), 0xE0-0xEF one of the highest
// block numbers, 0xF0-0xFF a raw datagram of (byte & 0x0F) bytes taken from
// the bytes that follow.
#include "FuzzRig.h"

#include "wire/ByteCodec.h"
#include "upgrade/DevApp.h"

#include <cstring>
#include <memory>
#include <string>

using camfuzz::Bytes;

namespace {

void deliver(camfuzz::SessionRig& r, const Bytes& message) {
    // Exactly the datagram's bytes, so that a read past its end is caught.
    std::unique_ptr<char[]> copy(new char[message.size()]);
    std::memcpy(copy.get(), message.data(), message.size());
    r.session->msgProc(copy.get(), static_cast<std::uint32_t>(message.size()), camfuzz::CAMERA_IP,
                       r.cameraPort);
}

// Whether the session must end the transfer on this datagram: an error, or
// an opcode that has no place in a transfer it serves.
bool endsTransfer(const Bytes& message) {
    if (message.size() < 2)
        return false;
    std::uint16_t opcode = wire::get16(message.data());
    return opcode != 2 && opcode != 3 && opcode != 4 && opcode != 6;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    camfuzz::isolate();
    camfuzz::sessionRig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    camfuzz::SessionRig& r = camfuzz::sessionRig();
    const auto& files = camfuzz::servedFiles();
    const camfuzz::ServedFile& file = files[data[0] % files.size()];

    std::string rrq = std::string("\0\1", 2) + file.name + '\0' + "octet" + '\0';
    r.session->fileRequest(rrq.data(), static_cast<std::uint32_t>(rrq.size()), r.cameraPort);
    for (const Bytes& sent : r.camera->drain())
        camfuzz::checkBlock(sent, file.data);

    bool ended = false;
    for (std::size_t i = 1; i < size;) {
        std::uint8_t b = data[i++];
        Bytes message;
        if (b < 0xE0) {
            message = {0, 4, 0, static_cast<std::uint8_t>(b % 16)};
        } else if (b < 0xF0) {
            message = {0, 4, 0xFF, static_cast<std::uint8_t>(0xF0 | (b & 0x0F))};
        } else {
            std::size_t n = std::min<std::size_t>(b & 0x0Fu, size - i);
            if (n == 0)
                continue;
            message.assign(data + i, data + i + n);
            i += n;
        }
        deliver(r, message);
        for (const Bytes& sent : r.camera->drain()) {
            if (ended)
                camfuzz::finding("a block went out after the camera ended the transfer");
            camfuzz::checkBlock(sent, file.data);
        }
        ended = ended || endsTransfer(message);
    }
    r.session->stopSend();
    return 0;
}
