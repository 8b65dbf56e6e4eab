#include "discovery/Discovery.h"

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

constexpr int ATTEMPTS = 3;
// A camera may stretch a request with pending acknowledges; beyond this we
// stop believing it.
constexpr std::chrono::milliseconds PENDING_LIMIT(5000);
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

// Request and answer with one camera, from a port of our own: the same
// request id on every attempt, so a camera that already answered knows it.
class Channel {
public:
    explicit Channel(const std::string& ip) : m_camera(platform::makeAddr(ip.c_str(), gvcp::PORT)) {
        m_ok = m_socket.bindTo(platform::makeAddr("0.0.0.0", 0));
    }
    bool ok() const { return m_ok; }

    enum Outcome { ANSWERED, SILENT };
    // The camera's status and payload for the request built by `build`.
    Outcome transact(const std::function<gvcp::Bytes(std::uint16_t)>& build, std::uint16_t answer,
                     std::chrono::milliseconds timeout, std::uint16_t* status, gvcp::Bytes* payload) {
        const std::uint16_t id = nextId();
        const gvcp::Bytes request = build(id);
        for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
            platform::sendDatagram(m_socket.get(), request.data(), request.size(), m_camera);
            if (awaitAck(id, answer, timeout, status, payload))
                return ANSWERED;
        }
        return SILENT;
    }

private:
    std::uint16_t nextId() {
        if (++m_id == 0)
            m_id = 1;
        return m_id;
    }

    bool awaitAck(std::uint16_t id, std::uint16_t answer, std::chrono::milliseconds timeout,
                  std::uint16_t* status, gvcp::Bytes* payload) {
        const auto start = Clock::now();
        auto deadline = start + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0 ||
                platform::waitReadable(m_socket.get(), left.count()) != platform::WAIT_READABLE)
                return false;
            gvcp::AckHeader h;
            sockaddr_in from{};
            if (!receiveAck(m_socket.get(), &h, payload, &from) || h.ackId != id ||
                from.sin_addr.s_addr != m_camera.sin_addr.s_addr)
                continue;  // stray or late: not ours
            if (h.answer == gvcp::PENDING_ACK) {
                auto extended = Clock::now() + std::chrono::milliseconds(gvcp::pendingMs(*payload));
                deadline = std::min(extended, start + PENDING_LIMIT);
                continue;
            }
            if (h.answer != answer)
                continue;
            *status = h.status;
            return true;
        }
    }

    Socket m_socket;
    sockaddr_in m_camera;
    bool m_ok = false;
    std::uint16_t m_id = 0;
};

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

bool readIdentity(const std::string& cameraIp, Identity& out, std::string* error,
                  std::chrono::milliseconds timeout) {
    if (!platform::isIpv4Text(cameraIp.c_str()))
        return fail(error, "'" + cameraIp + "' is not an IPv4 address");
    Channel channel(cameraIp);
    if (!channel.ok())
        return fail(error, "no socket for GVCP: " + std::string(std::strerror(platform::lastSocketError())));

    std::uint16_t status = 0;
    gvcp::Bytes payload;
    auto readBlock = [](std::uint16_t id) {
        return gvcp::encodeReadMem(id, gvcp::BOOTSTRAP_ADDRESS, gvcp::BOOTSTRAP_SIZE);
    };
    if (channel.transact(readBlock, gvcp::READMEM_ACK, timeout, &status, &payload) != Channel::ANSWERED)
        return fail(error, "camera " + cameraIp + " does not answer on GVCP port 3956");
    gvcp::Bootstrap block;
    wire::Reader data(payload.data(), payload.size());
    data.skip(4);  // the acknowledge repeats the address before the data
    if (status != gvcp::STATUS_SUCCESS || !gvcp::decodeBootstrap(data.current(), data.remaining(), &block))
        return fail(error, "camera " + cameraIp + " refused to read its bootstrap registers (status " +
                               statusText(status) + ")");
    Identity who;
    fillFrom(block, &who);
    who.ip = cameraIp;

    // A camera without the vendor's kind register stays of unknown kind.
    auto readKind = [](std::uint16_t id) { return gvcp::encodeReadReg(id, reg::KIND); };
    if (channel.transact(readKind, gvcp::READREG_ACK, timeout, &status, &payload) == Channel::ANSWERED &&
        status == gvcp::STATUS_SUCCESS && payload.size() >= 4) {
        who.kindRegister = wire::get32(payload.data());
        who.kind = reg::kindOf(who.kindRegister);
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
