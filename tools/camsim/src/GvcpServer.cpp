#include "GvcpServer.h"

#include "wire/ByteCodec.h"
#include "wire/Gvcp.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace camsim {

namespace gvcp = wire::gvcp;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t MAX_MEM = 536;
constexpr std::size_t MAX_DATAGRAM = 1500;

std::string commandName(std::uint16_t cmd) {
    switch (cmd) {
    case gvcp::DISCOVERY_CMD: return "DISCOVERY";
    case CMD_READREG: return "READREG";
    case CMD_WRITEREG: return "WRITEREG";
    case CMD_READMEM: return "READMEM";
    case CMD_WRITEMEM: return "WRITEMEM";
    default: {
        char b[16];
        std::snprintf(b, sizeof b, "command 0x%04x", cmd);
        return b;
    }
    }
}

std::string hex16(std::uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v);
    return b;
}

std::uint32_t seedOf(const Config& c) { return c.seed != 0 ? c.seed : std::random_device{}(); }

}  // namespace

GvcpServer::GvcpServer(CameraState& state, Launch launch)
    : m_state(state), m_cfg(state.cfg), m_launch(std::move(launch)), m_rng(seedOf(state.cfg)) {}

GvcpServer::~GvcpServer() { stop(); }

bool GvcpServer::bind(std::string* error) {
    if (!m_waker.valid() || !m_discoveryWaker.valid()) {
        *error = "no wake-up pipe";
        return false;
    }
    m_sock = platform::udpSocket();
    sockaddr_in addr = platform::makeAddr(m_cfg.ip.c_str(), m_cfg.gvcpPort);
    if (m_sock == platform::INVALID_SOCK || ::bind(m_sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot bind " + m_cfg.ip + ":" + std::to_string(m_cfg.gvcpPort) + ": " +
                 std::strerror(platform::lastSocketError());
        platform::closeSocket(m_sock);
        m_sock = platform::INVALID_SOCK;
        return false;
    }
    return true;
}

void GvcpServer::run() {
    std::string why;
    if (openDiscoverySocket(&why))
        m_discoveryThread = std::thread([this] { listenForDiscovery(); });
    else
        m_state.note(EventKind::Control, 1, "discovery broadcasts go unanswered: " + why);
    m_thread = std::thread([this] { loop(); });
}

void GvcpServer::stop() {
    m_waker.wake();
    m_discoveryWaker.wake();
    if (m_thread.joinable())
        m_thread.join();
    if (m_discoveryThread.joinable())
        m_discoveryThread.join();
    platform::closeSocket(m_sock);
    m_sock = platform::INVALID_SOCK;
    platform::closeSocket(m_discoverySock);
    m_discoverySock = platform::INVALID_SOCK;
}

void GvcpServer::loop() {
    std::uint8_t buf[MAX_DATAGRAM];
    std::bernoulli_distribution loss(m_cfg.gvcpLoss);
    for (;;) {
        int w = platform::waitReadable(m_sock, 100000, &m_waker);
        if (w == platform::WAIT_WOKEN || w == platform::WAIT_ERROR)
            break;
        if (w == platform::WAIT_TIMED_OUT) {
            std::vector<Event> out;
            {
                std::lock_guard<std::mutex> g(m_state.lock);
                m_state.model.tick(Clock::now());
                m_state.noteLocked(&out, EventKind::Control, 1, {});
            }
            m_state.publish(out);
            continue;
        }
        sockaddr_in from{};
        int n = platform::recvDatagram(m_sock, reinterpret_cast<char*>(buf), sizeof buf, &from);
        gvcp::CommandHeader h;
        if (n < 0 || !gvcp::decodeCommand(buf, static_cast<std::size_t>(n), &h))
            continue;  // not GVCP: a device stays silent
        bool drop = m_cfg.gvcpLoss > 0 && loss(m_rng);
        bool silent = false;
        bool wasAnswering = false;  // a restart changes answering under the lock
        {
            std::lock_guard<std::mutex> g(m_state.lock);
            m_state.countRequest(Clock::now());
            wasAnswering = m_state.answering;
            silent = drop || !wasAnswering;
            if (silent)
                ++m_state.stats.droppedRequests;
        }
        if (silent) {
            if (m_cfg.eventLevel >= 2)
                m_state.note(wasAnswering ? EventKind::Fault : EventKind::Request, 2,
                             (wasAnswering ? "dropped " : "unheard while silent: ") + commandName(h.command) +
                                 " id " + std::to_string(h.reqId) + (wasAnswering ? " (gvcp-loss)" : ""));
            continue;
        }
        handle(buf, static_cast<std::size_t>(n), from);
    }
}

void GvcpServer::send(const std::vector<std::uint8_t>& pkt, const sockaddr_in& to) {
    platform::sendDatagram(m_sock, pkt.data(), pkt.size(), to);
}

void GvcpServer::handle(const std::uint8_t* buf, std::size_t n, const sockaddr_in& fromAddr) {
    gvcp::CommandHeader h;
    gvcp::decodeCommand(buf, n, &h);
    const std::uint16_t cmd = h.command, id = h.reqId;
    Peer from{ntohl(fromAddr.sin_addr.s_addr), ntohs(fromAddr.sin_port)};

    if (m_cfg.replyLatencyMs > 0 && !m_state.pause(m_cfg.replyLatencyMs))
        return;
    if (!m_answered.ack.empty() && m_answered.from == from && m_answered.cmd == cmd && m_answered.id == id) {
        send(m_answered.ack, fromAddr);
        m_state.note(EventKind::Request, 2,
                     "repeated " + commandName(cmd) + " id " + std::to_string(id) + ": same answer again");
        return;
    }
    const bool ackRequired = (h.flags & gvcp::FLAG_ACK_REQUIRED) != 0;
    if (m_cfg.pendingCommands.count(cmd) != 0 && ackRequired) {
        std::vector<std::uint8_t> payload(4, 0);
        wire::put16(payload.data() + 2, static_cast<std::uint16_t>(m_cfg.pendingMs));
        send(gvcp::encodeAck(0, gvcp::PENDING_ACK, id, payload), fromAddr);
        m_state.note(EventKind::Fault, 1,
                     "pending acknowledge for " + commandName(cmd) + " id " + std::to_string(id) + ": " +
                         std::to_string(m_cfg.pendingMs) + " ms");
        int delay = m_cfg.pendingDelayMs >= 0 ? m_cfg.pendingDelayMs : m_cfg.pendingMs / 2;
        if (!m_state.pause(delay))
            return;
    }

    std::vector<std::uint8_t> payload;
    std::uint16_t status = GEV_SUCCESS;
    std::vector<Event> out;
    Action action;
    {
        std::lock_guard<std::mutex> g(m_state.lock);
        // Never trust the length field beyond what arrived.
        if (h.length > n - gvcp::HEADER_SIZE)
            status = GEV_INVALID_HEADER;
        else
            status = execute(cmd, buf + gvcp::HEADER_SIZE, h.length, from, &payload);
        action = m_state.model.takeAction();
        std::string detail;
        if (m_cfg.eventLevel >= 2)
            detail = commandName(cmd) + " id " + std::to_string(id) + " from " + from.text() +
                     (status ? " -> status " + hex16(status) : std::string());
        m_state.noteLocked(&out, EventKind::Request, 2, detail);
    }
    m_state.publish(out);

    if (ackRequired) {
        std::vector<std::uint8_t> ack = gvcp::encodeAck(status, static_cast<std::uint16_t>(cmd + 1), id, payload);
        if (m_cfg.ackFault == AckFault::STALE && !m_lastAck.empty())
            send(m_lastAck, fromAddr);
        send(ack, fromAddr);
        if (m_cfg.ackFault == AckFault::DUPLICATE)
            send(ack, fromAddr);
        m_lastAck = ack;
        m_answered = {from, cmd, id, std::move(ack)};
    }
    if (action.type != Action::NONE)
        m_launch(action);
}

// Runs one command against the model; call with the lock held.
std::uint16_t GvcpServer::execute(std::uint16_t cmd, const std::uint8_t* p, std::size_t len, const Peer& from,
                                  std::vector<std::uint8_t>* payload) {
    auto now = Clock::now();
    RegisterModel& model = m_state.model;
    wire::Reader r(p, len);
    switch (cmd) {
    case gvcp::DISCOVERY_CMD:
        *payload = gvcp::encodeBootstrap(model.bootstrap());
        return GEV_SUCCESS;
    case CMD_READREG: {
        if (len == 0 || len % 4 != 0)
            return GEV_INVALID_PARAMETER;
        std::vector<std::uint8_t> values;
        while (r.remaining() > 0) {
            std::uint32_t v = 0;
            if (std::uint16_t st = model.readReg(r.u32(), from, now, &v))
                return st;
            values.resize(values.size() + 4);
            wire::put32(values.data() + values.size() - 4, v);
        }
        *payload = std::move(values);
        return GEV_SUCCESS;
    }
    case CMD_WRITEREG: {
        if (len == 0 || len % 8 != 0)
            return GEV_INVALID_PARAMETER;
        std::uint16_t done = 0, st = GEV_SUCCESS;
        while (r.remaining() > 0 && st == GEV_SUCCESS) {
            std::uint32_t addr = r.u32();
            std::uint32_t value = r.u32();
            st = model.writeReg(addr, value, from, now);
            if (st == GEV_SUCCESS)
                ++done;
        }
        payload->assign(4, 0);
        wire::put16(payload->data() + 2, done);
        return st;
    }
    case CMD_READMEM: {
        if (len != 8)
            return GEV_INVALID_PARAMETER;
        std::uint32_t addr = r.u32();
        r.u16();
        std::uint16_t count = r.u16();
        payload->assign(4, 0);
        wire::put32(payload->data(), addr);
        if (count > MAX_MEM)
            return GEV_INVALID_PARAMETER;
        std::vector<std::uint8_t> data;
        std::uint16_t st = model.readMem(addr, count, from, now, &data);
        if (st == GEV_SUCCESS)
            payload->insert(payload->end(), data.begin(), data.end());
        return st;
    }
    case CMD_WRITEMEM: {
        payload->assign(4, 0);
        if (len < 4 || len - 4 > MAX_MEM)
            return GEV_INVALID_PARAMETER;
        std::uint32_t addr = r.u32();
        std::uint16_t st = model.writeMem(addr, r.current(), r.remaining(), from, now);
        if (st == GEV_SUCCESS)
            wire::put16(payload->data() + 2, static_cast<std::uint16_t>(len - 4));
        return st;
    }
    default:
        return GEV_NOT_IMPLEMENTED;
    }
}

// --- discovery broadcasts ----------------------------------------------------

// Every camera of a process (and aravis's fake camera beside them) binds the
// same broadcast address and port: each gets its own copy of a broadcast. Not
// the wildcard address: where a system lets that share the port, it could take
// the unicast requests of the camera's own socket.
bool GvcpServer::openDiscoverySocket(std::string* why) {
    platform::socket_t s = platform::udpSocket();
    int on = 1;
    sockaddr_in local = platform::makeAddr("255.255.255.255", m_cfg.gvcpPort);
    if (s != platform::INVALID_SOCK &&
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) == 0 &&
        ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
        m_discoverySock = s;
        return true;
    }
    *why = "cannot bind 255.255.255.255:" + std::to_string(m_cfg.gvcpPort) + ": " +
           std::strerror(platform::lastSocketError());
    platform::closeSocket(s);
    return false;
}

void GvcpServer::listenForDiscovery() {
    std::uint8_t buf[MAX_DATAGRAM];
    for (;;) {
        int w = platform::waitReadable(m_discoverySock, -1, &m_discoveryWaker);
        if (w == platform::WAIT_WOKEN || w == platform::WAIT_ERROR)
            return;
        if (w != platform::WAIT_READABLE)
            continue;
        sockaddr_in from{};
        int n = platform::recvDatagram(m_discoverySock, reinterpret_cast<char*>(buf), sizeof buf, &from);
        if (n > 0)
            answerBroadcast(buf, static_cast<std::size_t>(n), from);
    }
}

// Answered from the camera's own socket, so the host sees the camera's
// address as the sender.
void GvcpServer::answerBroadcast(const std::uint8_t* buf, std::size_t n, const sockaddr_in& fromAddr) {
    gvcp::CommandHeader h;
    if (!gvcp::decodeCommand(buf, n, &h) || h.command != gvcp::DISCOVERY_CMD ||
        (h.flags & gvcp::FLAG_ACK_REQUIRED) == 0)
        return;
    std::vector<std::uint8_t> block;
    std::vector<Event> out;
    {
        std::lock_guard<std::mutex> g(m_state.lock);
        if (!m_state.answering)
            return;
        block = gvcp::encodeBootstrap(m_state.model.bootstrap());
        m_state.noteLocked(&out, EventKind::Request, 2,
                           m_cfg.eventLevel >= 2 ? "DISCOVERY id " + std::to_string(h.reqId) + " from " +
                                                       platform::addrText(fromAddr) + ":" +
                                                       std::to_string(ntohs(fromAddr.sin_port)) + " (broadcast)"
                                                 : std::string());
    }
    m_state.publish(out);
    send(gvcp::encodeAck(GEV_SUCCESS, gvcp::DISCOVERY_ACK, h.reqId, block), fromAddr);
}

}  // namespace camsim
