// Datagrams on the file service's port: the dispatcher routes them by the
// sender's address and the session answers read requests. Whatever the
// datagram, a session may only ever send the first block of a file inside
// its firmware folder, to the camera that asked.
//
// Input: byte 0 picks the sender (bit 0: the session's camera or another
// address), the rest is the datagram as the receive loop hands it over
// (1 to 512 bytes).
#include "FuzzRig.h"

#include "upgrade/DevApp.h"
#include "upgrade/UpdgradeManager.h"

#include <cstring>
#include <memory>

using camfuzz::Bytes;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    camfuzz::isolate();
    camfuzz::sessionRig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 513)
        return 0;
    camfuzz::SessionRig& r = camfuzz::sessionRig();
    const char* from = (data[0] & 1u) != 0 ? "127.0.0.3" : camfuzz::CAMERA_IP;
    // Exactly the datagram's bytes, so that a read past its end is caught.
    std::unique_ptr<char[]> datagram(new char[size - 1]);
    std::memcpy(datagram.get(), data + 1, size - 1);
    r.dispatcher->msgDispatch(datagram.get(), static_cast<std::uint32_t>(size - 1), from,
                              r.cameraPort);

    for (const Bytes& sent : r.camera->drain()) {
        bool known = false;
        for (const camfuzz::ServedFile& f : camfuzz::servedFiles()) {
            if (sent.size() >= 4 && sent.size() - 4 == std::min<std::size_t>(512, f.data.size()) &&
                std::equal(sent.begin() + 4, sent.end(), f.data.begin())) {
                camfuzz::checkBlock(sent, f.data);
                known = true;
                break;
            }
        }
        camfuzz::checkNothingFromOutside(sent);
        if (!known)
            camfuzz::finding("a datagram that is no first block of a served file");
    }
    r.session->stopSend();
    return 0;
}
