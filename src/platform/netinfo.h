// What this machine's network looks like from here: whether an address is
// one of ours, which of ours reaches a camera, whether a port is free. Only
// socket calls both systems have, so one source serves both.
#pragma once

#include "platform/socket.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// True when a socket can be bound to the address: it belongs to this machine.
// The wildcard 0.0.0.0 is no address of a machine and gives false.
bool isLocalAddress(const std::string& ip);

// The address this machine sends from to reach ip (the source of the route
// to it, as a connected datagram socket sees it). False when there is no route.
bool routeSource(const std::string& ip, std::string& out);

enum class PortCheck { Free, InUse, NoPermission, Failed };
// Whether a datagram socket could bind 0.0.0.0:port now.
PortCheck udpPortFree(std::uint16_t port);

struct Ipv4Interface {
    sockaddr_in address{};    // port 0
    bool hasBroadcast = false;
    sockaddr_in broadcast{};  // port 0; when hasBroadcast
};
// The IPv4 interfaces that are up, only the one called `name` when that is
// not empty. Where the system offers no interface table (Windows) `name` must
// be an address, and stands for its interface. False with a sentence in
// *error when they cannot be listed or the name is no use here.
bool upInterfaces(const std::string& name, std::vector<Ipv4Interface>& out, std::string* error);

}  // namespace platform
