#include "discovery/Discovery.h"

#include "gvcp/Peek.h"
#include "gvcp/Registers.h"
#include "platform/netinfo.h"
#include "platform/socket.h"
#include "wire/ByteCodec.h"
#include "wire/Gvcp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

namespace discovery {

namespace gvcp = wire::gvcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t MAX_DATAGRAM = 1500;

bool fail(std::string* error, const std::string& why) {
    if (error != nullptr)
        *error = why;
    return false;
}

class Socket {
public:
    Socket() : m_s(platform::udpSocket()) {}
    ~Socket() { platform::closeSocket(m_s); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    platform::socket_t get() const { return m_s; }
    bool bindTo(const sockaddr_in& local) {
        return m_s != platform::INVALID_SOCK &&
               ::bind(m_s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }

private:
    platform::socket_t m_s;
};

// One acknowledge read from s: false when what came is no acknowledge.
bool receiveAck(platform::socket_t s, gvcp::AckHeader* h, gvcp::Bytes* payload, sockaddr_in* from) {
    std::uint8_t buf[MAX_DATAGRAM];
    int n = platform::recvDatagram(s, reinterpret_cast<char*>(buf), sizeof buf, from);
    return n > 0 && gvcp::decodeAck(buf, static_cast<std::size_t>(n), h, payload);
}

void fillFrom(const gvcp::Bootstrap& b, Identity* out) {
    out->mac = gvcp::macText(b.mac);
    out->manufacturer = b.manufacturer;
    out->model = b.model;
    out->version = b.deviceVersion;
    out->manufacturerInfo = b.manufacturerInfo;
    out->serial = b.serial;
    out->userName = b.userName;
}

std::string statusText(std::uint16_t status) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", status);
    return buf;
}

}  // namespace

// Through the library's own client, reading only: a camera answers reads
// whoever holds it.
bool readIdentity(const std::string& cameraIp, Identity& out, std::string* error,
                  std::chrono::milliseconds timeout) {
    if (!platform::isIpv4Text(cameraIp.c_str()))
        return fail(error, "'" + cameraIp + "' is not an IPv4 address");
    ::gvcp::Peek peek(cameraIp, static_cast<unsigned>(timeout.count()));
    std::vector<std::uint8_t> bytes;
    bool answered = false;
    gvcp::Bootstrap block;
    if (!peek.readMemory(reg::BOOTSTRAP_BLOCK, reg::BOOTSTRAP_BLOCK_SIZE, &bytes, &answered)) {
        if (!answered)
            return fail(error, "camera " + cameraIp + " does not answer on GVCP port 3956");
        return fail(error, "camera " + cameraIp + " refused to read its bootstrap registers (status " +
                               statusText(peek.lastStatus()) + ")");
    }
    if (!gvcp::decodeBootstrap(bytes.data(), bytes.size(), &block))
        return fail(error, "camera " + cameraIp + " sent a bootstrap block too short to read");
    Identity who;
    fillFrom(block, &who);
    who.ip = cameraIp;

    // A camera without the vendor's kind register stays of unknown kind.
    std::uint32_t kind = 0;
    if (peek.read(reg::KIND, &kind, &answered)) {
        who.kindRegister = kind;
        who.kind = reg::kindOf(kind);
    }
    out = who;
    return true;
}

namespace {

// Where one discovery goes out: from this local address to this destination.
struct Route {
    sockaddr_in local;
    sockaddr_in broadcast;
};

sockaddr_in limitedBroadcast() { return platform::makeAddr("255.255.255.255", gvcp::PORT); }

// Every IPv4 interface that is up sends its own discovery from its own
// address: a broadcast from an unbound socket leaves through one interface
// only, and not at all where no default route exists.
bool routesFor(const std::string& name, std::vector<Route>* routes, std::string* error) {
    std::vector<platform::Ipv4Interface> interfaces;
    if (!platform::upInterfaces(name, interfaces, error))
        return false;
    for (const platform::Ipv4Interface& i : interfaces) {
        Route r{i.address, limitedBroadcast()};
        if (!name.empty() && i.hasBroadcast) {
            r.broadcast = i.broadcast;
            r.broadcast.sin_port = htons(gvcp::PORT);
        }
        routes->push_back(r);
    }
    if (!name.empty() && routes->empty())
        return fail(error, "no interface '" + name + "' with an IPv4 address is up");
    if (routes->empty())
        routes->push_back({platform::makeAddr("0.0.0.0", 0), limitedBroadcast()});
    return true;
}

bool sameCamera(const Identity& a, const Identity& b) { return a.ip == b.ip && a.mac == b.mac; }

// Adds the camera an acknowledge describes, once.
void collect(platform::socket_t s, std::uint16_t id, std::vector<Identity>* found) {
    gvcp::AckHeader h;
    gvcp::Bytes payload;
    sockaddr_in from{};
    gvcp::Bootstrap block;
    if (!receiveAck(s, &h, &payload, &from) || h.answer != gvcp::DISCOVERY_ACK || h.ackId != id ||
        h.status != gvcp::STATUS_SUCCESS || !gvcp::decodeBootstrap(payload.data(), payload.size(), &block))
        return;
    Identity cam;
    fillFrom(block, &cam);
    // A camera whose address does not suit this network still answers, from
    // an address we may not reach; its own word is the one to show.
    cam.ip = block.currentIp != 0 ? gvcp::ipText(block.currentIp) : platform::addrText(from);
    for (const Identity& known : *found)
        if (sameCamera(known, cam))
            return;
    found->push_back(cam);
}

}  // namespace

bool discover(std::vector<Identity>& found, const std::string& interfaceName, std::chrono::milliseconds window,
              std::string* error) {
    std::vector<Route> routes;
    if (!routesFor(interfaceName, &routes, error))
        return false;
    const std::uint16_t id = static_cast<std::uint16_t>(1 + (Clock::now().time_since_epoch().count() & 0x7FFF));
    const gvcp::Bytes request = gvcp::encodeDiscovery(id);

    struct Sender {
        std::unique_ptr<Socket> socket;
        sockaddr_in to;
    };
    std::vector<Sender> senders;
    std::string lastError = "no interface to send from";
    auto sendAll = [&] {
        bool any = false;
        for (const Sender& s : senders) {
            if (platform::sendDatagram(s.socket->get(), request.data(), request.size(), s.to) >= 0)
                any = true;
            else
                lastError = std::strerror(platform::lastSocketError());
        }
        return any;
    };
    for (const Route& r : routes) {
        Sender s{std::make_unique<Socket>(), r.broadcast};
        int on = 1;
        if (s.socket->bindTo(r.local) && ::setsockopt(s.socket->get(), SOL_SOCKET, SO_BROADCAST,
                                                      reinterpret_cast<const char*>(&on), sizeof on) == 0)
            senders.push_back(std::move(s));
        else
            lastError = std::strerror(platform::lastSocketError());
    }
    if (!sendAll())
        return fail(error, "cannot send the discovery: " + lastError);

    found.clear();
    const auto start = Clock::now();
    const auto end = start + window;
    // Once more a third into the window, for a request or answer lost on the way.
    bool repeated = false;
    const std::int64_t slice = senders.size() == 1 ? -1 : 10000;
    while (Clock::now() < end) {
        if (!repeated && Clock::now() >= start + window / 3) {
            sendAll();
            repeated = true;
        }
        auto until = repeated ? end : start + window / 3;
        for (const Sender& s : senders) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now()).count();
            if (left <= 0)
                break;
            if (platform::waitReadable(s.socket->get(), slice < 0 ? left : std::min(slice, left)) ==
                platform::WAIT_READABLE)
                collect(s.socket->get(), id, &found);
        }
    }
    return true;
}

}  // namespace discovery
