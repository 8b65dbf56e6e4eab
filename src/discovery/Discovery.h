// Who a camera is, read without taking control of it: the bootstrap block
// (READMEM from any host) and GVCP discovery (one broadcast, every camera
// on the segment answers with a copy of its bootstrap block).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace discovery {

struct Identity {
    std::string ip;                // the camera's current address, dotted
    std::string mac;               // "00:11:22:33:44:55"
    std::string manufacturer;
    std::string model;
    std::string version;           // device version: the firmware version
    std::string manufacturerInfo;
    std::string serial;
    std::string userName;
    std::uint32_t kindRegister = 0;  // vendor kind register, 0 when unread
    int kind = -1;                   // hardware kind (0 or 1), -1 when unread
};

// Reads the bootstrap strings and the kind register of the camera at ip over
// GVCP, without taking control. False with a sentence in *error when the
// camera does not answer.
bool readIdentity(const std::string& cameraIp, Identity& out, std::string* error = nullptr,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(500));

// Sends the discovery command (broadcast acknowledge allowed) to
// 255.255.255.255:3956, or to the broadcast address of the named interface,
// and collects the acknowledges that arrive within `window`. One entry per
// camera, in the order they answered. False with a sentence in *error when
// nothing could be sent.
bool discover(std::vector<Identity>& found, const std::string& interfaceName = std::string(),
              std::chrono::milliseconds window = std::chrono::seconds(1),
              std::string* error = nullptr);

}  // namespace discovery
