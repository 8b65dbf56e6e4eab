// What the fuzz targets share: a private network and scratch folders, a
// session whose camera is a socket of the target's own, and the checks on
// what that socket receives.
#pragma once

#include "support/TftpPeer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class DevApp;
class managerGige;
class updgradeManager;

namespace camfuzz {

using camtest::Bytes;

constexpr const char* HOST_IP = "127.0.0.1";
constexpr const char* CAMERA_IP = "127.0.0.2";
// Marks the file that lies outside the served folder: no datagram may carry it.
constexpr const char* OUTSIDE_MARK = "OUTSIDE-THE-FIRMWARE-FOLDER";

// Reports a finding (or a rig that cannot be set up) and aborts.
[[noreturn]] void finding(const std::string& what);

// Puts the process into a network namespace of its own (so it owns port
// 3956 on every loopback address) and TMPDIR into a fresh folder. Exits
// with a message when that is not allowed.
void isolate();
// The fresh folder isolate made.
const std::string& root();

// The files a session serves, by name relative to its folder: images of
// the sizes around the block boundaries ("size<N>.bin") and a few more in
// sub-folders and with odd names. Links in the folder point outside it.
struct ServedFile {
    std::string name;
    Bytes data;
};
const std::vector<ServedFile>& servedFiles();

// One session serving root()/fw, in the dispatcher's list, with a manager
// that knows the camera's address but holds no control (so no heartbeat
// runs). Made once per process and never torn down: libFuzzer ends the
// process with exit().
struct SessionRig {
    managerGige* manager = nullptr;
    updgradeManager* dispatcher = nullptr;
    DevApp* session = nullptr;
    camtest::UdpPeer* camera = nullptr;  // the camera's transfer socket
    std::uint16_t cameraPort = 0;
};
SessionRig& sessionRig();

// Aborts (a finding) unless the datagram is a data block of file with the
// right bytes for its number.
void checkBlock(const Bytes& datagram, const Bytes& file);
// Aborts if the datagram carries anything of the file outside the folder.
void checkNothingFromOutside(const Bytes& datagram);

}  // namespace camfuzz
