// What this machine's network looks like from here: whether an address is
// one of ours, which of ours reaches a camera, whether a port is free. Only
// socket calls both systems have, so one source serves both.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace platform
