#include "camsim/Camera.h"

#include "camsim/Package.h"
#include "camsim/Sha256.h"
#include "camsim/TftpClient.h"
#include "platform/socket.h"
#include "wire/ByteCodec.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>

namespace camsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t GVCP_KEY = 0x42;
constexpr std::uint8_t FLAG_ACK_REQUIRED = 0x01;
constexpr std::uint16_t PENDING_ACK = 0x0089;
constexpr std::size_t MAX_MEM = 536;
constexpr std::size_t MAX_DATAGRAM = 1500;

// Verdicts a camera reports in its status register.
constexpr std::uint8_t ST_SUCCESS = 0;
constexpr std::uint8_t ST_CHECK_FAIL = 2;
constexpr std::uint8_t ST_DEVICE_ERROR = 3;
constexpr std::uint8_t ST_WORKING = 4;
constexpr std::uint8_t ST_CONNECT_FAIL = 6;
constexpr std::uint8_t ST_VERSION_REFUSED = 7;
constexpr std::uint8_t ST_KIND_MISMATCH = 11;

std::uint32_t hostOrder(const std::string& ip) {
    return ntohl(platform::makeAddr(ip.c_str(), 0).sin_addr.s_addr);
}

std::string commandName(std::uint16_t cmd) {
    switch (cmd) {
    case CMD_READREG: return "READREG";
    case CMD_WRITEREG: return "WRITEREG";
    case CMD_READMEM: return "READMEM";
    case CMD_WRITEMEM: return "WRITEMEM";
    default: return "command 0x" + [cmd] {
        char b[8];
        std::snprintf(b, sizeof b, "%04x", cmd);
        return std::string(b);
    }();
    }
}

std::string hex32(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

}  // namespace

std::string validate(const Config& cfg) {
    in_addr a{};
    if (::inet_pton(AF_INET, cfg.ip.c_str(), &a) != 1)
        return "'" + cfg.ip + "' is not an IPv4 address";
    if (cfg.kind != 0 && cfg.kind != 1)
        return "kind must be 0 or 1";
    if (cfg.gvcpLoss < 0 || cfg.gvcpLoss > 1 || cfg.dataLoss < 0 || cfg.dataLoss > 1)
        return "loss probabilities must lie between 0 and 1";
    if (cfg.forceState < -1 || cfg.forceState > 255)
        return "forced state must be 0..255";
    if (cfg.flashMs < 0 || cfg.restartMs < 0 || cfg.replyLatencyMs < 0 || cfg.pendingMs < 0 ||
        cfg.pendingMs > 0xFFFF || cfg.tftpTimeoutMs <= 0 || cfg.tftpRetries < 0)
        return "times must not be negative (pending time at most 65535 ms)";
    if (!cfg.minVersion.empty() && !isVersion(cfg.minVersion))
        return "minimum version '" + cfg.minVersion + "' is not dotted numbers";
    if (cfg.infoFile.empty())
        return "no information file name";
    return {};
}

struct Camera::Impl {
    explicit Impl(const Config& c) : cfg(c), model(identity(c)) {
        std::uint32_t seed = c.seed != 0 ? c.seed : std::random_device{}();
        gvcpRng.seed(seed);
        dataRng.seed(seed + 1);
    }

    static Identity identity(const Config& c) {
        Identity id;
        id.ip = hostOrder(c.ip);
        id.kindRegister = c.kindRegister != 0 ? c.kindRegister : (c.kind == 1 ? KIND1_VALUE : KIND0_VALUE);
        id.manufacturer = c.manufacturer;
        id.model = c.model;
        id.deviceVersion = c.firmwareVersion;
        id.manufacturerInfo = "simulated camera";
        id.serial = c.serial.empty() ? "SIM" + std::to_string(id.ip & 0xFFFFFF) : c.serial;
        id.userName = c.userName;
        id.refuseControl = c.refuseControl;
        return id;
    }

    const Config& cfg;
    std::function<void(const Event&)> handler;

    // Guards everything below up to the threads.
    mutable std::mutex lock;
    std::condition_variable wake;
    RegisterModel model;
    bool running = false;
    bool answering = true;
    bool stopping = false;
    Snapshot stats;  // counters, files and history; the rest comes from the model
    std::deque<Event> log;

    // Keeps handler calls in order across the two threads.
    std::mutex emitLock;

    platform::socket_t sock = platform::INVALID_SOCK;
    platform::Waker waker;
    std::thread gvcpThread;
    std::thread worker;
    std::atomic<bool> stopFlag{false};
    std::mt19937 gvcpRng;  // used by the GVCP thread only
    std::mt19937 dataRng;  // used by the worker only
    std::vector<std::uint8_t> lastAck;  // sent last, to anyone (the stale-acknowledge fault)
    // The last request answered, so that a retransmission (its acknowledge was
    // lost) gets the same answer again instead of running twice.
    struct Answered {
        Peer from;
        std::uint16_t cmd = 0;
        std::uint16_t id = 0;
        std::vector<std::uint8_t> ack;
    } answered;

    // --- events -----------------------------------------------------------

    // Call with the lock held: queues the model's events and a new one.
    void noteLocked(std::vector<Event>* out, EventKind kind, int level, std::string text) {
        const std::size_t first = out->size();
        for (auto& e : model.takeEvents())
            if (e.level <= cfg.eventLevel)
                out->push_back(std::move(e));
        if (!text.empty() && level <= cfg.eventLevel)
            out->push_back(Event{std::chrono::system_clock::now(), {}, kind, level, std::move(text)});
        if (model.state() != lastState || model.percent() != lastPercent) {
            lastState = model.state();
            lastPercent = model.percent();
            stats.stateHistory.push_back(static_cast<std::uint16_t>(lastPercent << 8 | lastState));
        }
        for (std::size_t i = first; i < out->size(); ++i) {
            Event& e = (*out)[i];
            e.camera = cfg.ip;
            log.push_back(e);
            if (log.size() > 4096)
                log.pop_front();
        }
        wake.notify_all();
    }
    std::uint8_t lastState = STATE_IDLE;
    std::uint8_t lastPercent = 0;

    void publish(const std::vector<Event>& events) {
        if (events.empty() || !handler)
            return;
        std::lock_guard<std::mutex> g(emitLock);
        for (const auto& e : events)
            handler(e);
    }

    void note(EventKind kind, int level, std::string text) {
        std::vector<Event> out;
        {
            std::lock_guard<std::mutex> g(lock);
            noteLocked(&out, kind, level, std::move(text));
        }
        publish(out);
    }

    // Sleeps; false when the camera is stopping.
    bool pause(int ms) {
        std::unique_lock<std::mutex> g(lock);
        return !wake.wait_for(g, std::chrono::milliseconds(ms), [this] { return stopping; });
    }

    void setStatus(std::uint8_t state, std::uint8_t percent, const std::string& why = {}) {
        std::vector<Event> out;
        {
            std::lock_guard<std::mutex> g(lock);
            model.setStatus(state, percent);
            noteLocked(&out, EventKind::Upgrade, 1, why);
        }
        publish(out);
    }

    // --- GVCP -------------------------------------------------------------

    void gvcpLoop() {
        std::uint8_t buf[MAX_DATAGRAM];
        std::bernoulli_distribution loss(cfg.gvcpLoss);
        while (!stopFlag.load()) {
            int w = platform::waitReadable(sock, 100000, &waker);
            if (w == platform::WAIT_WOKEN || w == platform::WAIT_ERROR)
                break;
            if (w == platform::WAIT_TIMED_OUT) {
                std::vector<Event> out;
                {
                    std::lock_guard<std::mutex> g(lock);
                    model.tick(Clock::now());
                    noteLocked(&out, EventKind::Control, 1, {});
                }
                publish(out);
                continue;
            }
            sockaddr_in from{};
            int n = platform::recvDatagram(sock, reinterpret_cast<char*>(buf), sizeof buf, &from);
            if (n < 8 || buf[0] != GVCP_KEY)
                continue;  // not GVCP: a device stays silent
            bool drop = cfg.gvcpLoss > 0 && loss(gvcpRng);
            bool silent = false;
            bool wasAnswering = false;  // a restart changes answering under the lock
            {
                std::lock_guard<std::mutex> g(lock);
                ++stats.requests;
                wasAnswering = answering;
                silent = drop || !wasAnswering;
                if (silent)
                    ++stats.droppedRequests;
            }
            if (silent) {
                if (drop && wasAnswering && cfg.eventLevel >= 2)
                    note(EventKind::Fault, 2,
                         "dropped " + commandName(wire::get16(buf + 2)) + " id " +
                             std::to_string(wire::get16(buf + 6)) + " (gvcp-loss)");
                continue;
            }
            handle(buf, static_cast<std::size_t>(n), from);
        }
    }

    void send(const std::vector<std::uint8_t>& pkt, const sockaddr_in& to) {
        platform::sendDatagram(sock, pkt.data(), pkt.size(), to);
    }

    static std::vector<std::uint8_t> ackPacket(std::uint16_t status, std::uint16_t code,
                                               std::uint16_t id, const std::vector<std::uint8_t>& payload) {
        std::vector<std::uint8_t> pkt(8 + payload.size());
        wire::Writer w(pkt.data(), pkt.size());
        w.u16(status);
        w.u16(code);
        w.u16(static_cast<std::uint16_t>(payload.size()));
        w.u16(id);
        w.bytes(payload.data(), payload.size());
        return pkt;
    }

    void handle(const std::uint8_t* buf, std::size_t n, const sockaddr_in& fromAddr) {
        wire::Reader hdr(buf, n);
        hdr.u8();
        std::uint8_t flags = hdr.u8();
        std::uint16_t cmd = hdr.u16();
        std::uint16_t len = hdr.u16();
        std::uint16_t id = hdr.u16();
        Peer from{ntohl(fromAddr.sin_addr.s_addr), ntohs(fromAddr.sin_port)};

        if (cfg.replyLatencyMs > 0 && !pause(cfg.replyLatencyMs))
            return;
        if (!answered.ack.empty() && answered.from == from && answered.cmd == cmd && answered.id == id) {
            send(answered.ack, fromAddr);
            note(EventKind::Request, 2,
                 "repeated " + commandName(cmd) + " id " + std::to_string(id) + ": same answer again");
            return;
        }
        bool pending = cfg.pendingCommands.count(cmd) != 0;
        if (pending && (flags & FLAG_ACK_REQUIRED) != 0) {
            std::vector<std::uint8_t> payload(4, 0);
            wire::put16(payload.data() + 2, static_cast<std::uint16_t>(cfg.pendingMs));
            send(ackPacket(0, PENDING_ACK, id, payload), fromAddr);
            note(EventKind::Fault, 1,
                 "pending acknowledge for " + commandName(cmd) + " id " + std::to_string(id) + ": " +
                     std::to_string(cfg.pendingMs) + " ms");
            int delay = cfg.pendingDelayMs >= 0 ? cfg.pendingDelayMs : cfg.pendingMs / 2;
            if (!pause(delay))
                return;
        }

        std::vector<std::uint8_t> payload;
        std::uint16_t status = GEV_SUCCESS;
        std::vector<Event> out;
        Action action;
        {
            std::lock_guard<std::mutex> g(lock);
            // Never trust the length field beyond what arrived.
            if (len > n - 8)
                status = GEV_INVALID_HEADER;
            else
                status = execute(cmd, buf + 8, len, from, &payload);
            action = model.takeAction();
            std::string detail;
            if (cfg.eventLevel >= 2)
                detail = commandName(cmd) + " id " + std::to_string(id) + " from " + from.text() +
                         (status ? " -> status " + hex32(status).substr(6) : std::string());
            noteLocked(&out, EventKind::Request, 2, detail);
        }
        publish(out);

        if ((flags & FLAG_ACK_REQUIRED) != 0) {
            std::vector<std::uint8_t> ack =
                ackPacket(status, static_cast<std::uint16_t>(cmd + 1), id, payload);
            if (cfg.ackFault == AckFault::STALE && !lastAck.empty())
                send(lastAck, fromAddr);
            send(ack, fromAddr);
            if (cfg.ackFault == AckFault::DUPLICATE)
                send(ack, fromAddr);
            lastAck = ack;
            answered = {from, cmd, id, std::move(ack)};
        }
        if (action.type != Action::NONE)
            launch(action);
    }

    // Runs one command against the model; call with the lock held.
    std::uint16_t execute(std::uint16_t cmd, const std::uint8_t* p, std::size_t len, const Peer& from,
                          std::vector<std::uint8_t>* payload) {
        auto now = Clock::now();
        wire::Reader r(p, len);
        switch (cmd) {
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

    // --- upgrade and restart ------------------------------------------------

    void launch(const Action& action) {
        if (worker.joinable())
            worker.join();  // the previous job has cleared its busy flag: it is returning
        if (action.type == Action::START_UPGRADE)
            worker = std::thread([this, server = action.fileServer] { upgrade(server); });
        else
            worker = std::thread([this] {
                if (restart())
                    finishJob();
            });
    }

    void finishJob() {
        std::lock_guard<std::mutex> g(lock);
        model.setBusy(false);
        wake.notify_all();
    }

    // Silent, control released; true once answering again.
    bool restart() {
        std::vector<Event> out;
        {
            std::lock_guard<std::mutex> g(lock);
            answering = false;
            ++stats.restarts;
            noteLocked(&out, EventKind::Restart, 1,
                       cfg.neverReturn ? std::string("restarting, and never coming back (never-return)")
                                       : "restarting: silent for " + std::to_string(cfg.restartMs) + " ms");
            model.restart();
            noteLocked(&out, EventKind::Control, 1, {});
        }
        publish(out);
        if (cfg.neverReturn) {
            while (pause(60000)) {
            }
            return false;
        }
        if (!pause(cfg.restartMs))
            return false;
        std::vector<Event> back;
        {
            std::lock_guard<std::mutex> g(lock);
            answering = true;
            noteLocked(&back, EventKind::Restart, 1, "answering again, control free");
        }
        publish(back);
        return true;
    }

    // Ends an upgrade with a verdict (or the forced one) and frees the camera.
    void verdict(std::uint8_t state, const std::string& why) {
        std::uint8_t reported = cfg.forceState >= 0 ? static_cast<std::uint8_t>(cfg.forceState) : state;
        std::uint8_t percent = 100;
        if (state != ST_SUCCESS) {
            std::lock_guard<std::mutex> g(lock);
            percent = model.percent();
        }
        std::string text = why;
        if (reported != state)
            text += " (force-state: reporting " + std::to_string(reported) + ")";
        setStatus(reported, percent, text);
        finishJob();
    }

    static std::uint8_t fetchFailure(TftpResult::Outcome o) {
        return o == TftpResult::NO_ANSWER ? ST_CONNECT_FAIL : ST_DEVICE_ERROR;
    }

    TftpResult fetch(const std::string& server, const std::string& name, std::size_t limit,
                     std::function<bool(std::size_t)> progress, std::size_t expected = 0) {
        TftpRequest req;
        req.localIp = cfg.ip;
        req.serverIp = server;
        req.serverPort = cfg.tftpPort;
        req.file = name;
        req.timeoutMs = cfg.tftpTimeoutMs;
        req.retries = cfg.tftpRetries;
        req.maxBytes = limit;
        req.expectedBytes = expected;
        std::bernoulli_distribution loss(cfg.dataLoss);
        if (cfg.dataLoss > 0)
            req.dropBlock = [this, &loss] {
                if (!loss(dataRng))
                    return false;
                std::lock_guard<std::mutex> g(lock);
                ++stats.droppedBlocks;
                return true;
            };
        req.progress = std::move(progress);
        req.note = [this](const std::string& line) { note(EventKind::Transfer, 2, line); };
        note(EventKind::Transfer, 1, "requesting " + name + " from " + server + ":" + std::to_string(cfg.tftpPort));
        return tftpFetch(req, &waker);
    }

    void upgrade(const std::string& server) {
        {
            std::lock_guard<std::mutex> g(lock);
            ++stats.upgradeCommands;
            stats.files.clear();
            stats.packageVersion.clear();
        }
        if (cfg.restartOnCommand) {
            // Some cameras restart into their loader before they fetch anything.
            note(EventKind::Fault, 1, "restarting before the fetch (restart-on-command)");
            if (!restart())
                return;
        }
        TftpResult infoData = fetch(server, cfg.infoFile, 64 * 1024, {});
        if (infoData.outcome == TftpResult::STOPPED)
            return;
        if (infoData.outcome != TftpResult::OK)
            return verdict(fetchFailure(infoData.outcome), "cannot fetch " + cfg.infoFile + ": " + infoData.message);
        note(EventKind::Transfer, 1,
             "fetched " + cfg.infoFile + ": " + std::to_string(infoData.data.size()) + " bytes");

        InfoFile info;
        std::string error;
        if (!parseInfo(std::string(infoData.data.begin(), infoData.data.end()), &info, &error))
            return verdict(ST_DEVICE_ERROR, cfg.infoFile + " unreadable: " + error);
        {
            std::lock_guard<std::mutex> g(lock);
            stats.packageVersion = info.version;
        }
        if (info.kind != cfg.kind)
            return verdict(ST_KIND_MISMATCH, "package is for kind " + std::to_string(info.kind) +
                                                 ", this camera is kind " + std::to_string(cfg.kind));
        if (!cfg.minVersion.empty() && compareVersions(info.version, cfg.minVersion) < 0)
            return verdict(ST_VERSION_REFUSED,
                           "version " + info.version + " refused: older than " + cfg.minVersion);
        std::uint64_t total = 0;
        for (const auto& img : info.images) {
            if (img.size > cfg.maxImageBytes)
                return verdict(ST_DEVICE_ERROR, "image " + img.name + " of " + std::to_string(img.size) +
                                                    " bytes does not fit (limit " +
                                                    std::to_string(cfg.maxImageBytes) + ")");
            total += img.size;
        }

        bool restartPending = cfg.restartMidTransfer;
        std::uint64_t before = 0;  // bytes of the images already taken
        for (std::size_t i = 0; i < info.images.size(); ++i) {
            const ImageEntry& img = info.images[i];
            bool cutShort = false;
            auto progress = [&](std::size_t got) {
                if (restartPending && got * 2 >= img.size && got < img.size) {
                    cutShort = true;
                    return false;
                }
                auto pct = total == 0 ? 50 : (before + got) * 50 / total;
                setStatus(ST_WORKING, static_cast<std::uint8_t>(pct));
                return true;
            };
            // A small slack over the announced size lets a wrong size show up
            // as a failed check rather than as an image too big to take.
            TftpResult r = fetch(server, img.name, img.size + 65536, progress, img.size);
            if (cutShort) {
                restartPending = false;
                note(EventKind::Fault, 1,
                     "restarting in the middle of " + img.name + " after " +
                         std::to_string(r.data.size()) + " bytes (restart-mid-transfer)");
                if (!restart())
                    return;
                note(EventKind::Transfer, 1, "requesting " + img.name + " again");
                --i;
                continue;
            }
            if (r.outcome == TftpResult::STOPPED)
                return;
            if (r.outcome != TftpResult::OK)
                return verdict(fetchFailure(r.outcome), "cannot fetch " + img.name + ": " + r.message);
            FetchedFile f{img.name, r.data.size(), Sha256::of(r.data.data(), r.data.size()), false,
                          r.resends};
            f.verified = f.size == img.size && f.sha256 == img.sha256;
            {
                std::lock_guard<std::mutex> g(lock);
                stats.files.push_back(f);
            }
            note(EventKind::Transfer, 1,
                 "fetched " + img.name + ": " + std::to_string(f.size) + " bytes from port " +
                     std::to_string(r.serverPort) + ", sha256 " + f.sha256.substr(0, 16) + "... " +
                     (f.verified ? "ok" : "MISMATCH") +
                     (r.resends ? ", " + std::to_string(r.resends) + " re-sent" : std::string()));
            if (!f.verified)
                return verdict(ST_CHECK_FAIL, img.name + " does not match its information (" +
                                                  std::to_string(img.size) + " bytes expected)");
            before += img.size;
        }

        note(EventKind::Upgrade, 1, "flashing " + std::to_string(info.images.size()) + " image(s), version " +
                                        info.version);
        const int steps = cfg.flashMs >= 100 ? 10 : 1;
        for (int s = 1; s <= steps; ++s) {
            if (!pause(cfg.flashMs / steps))
                return;
            setStatus(ST_WORKING, static_cast<std::uint8_t>(50 + 50 * s / steps));
        }
        {
            std::lock_guard<std::mutex> g(lock);
            model.setFirmwareVersion(info.version);
        }
        if (cfg.restartAfterUpgrade && !restart())
            return;
        verdict(ST_SUCCESS, "upgrade to " + info.version + " done");
    }
};

Camera::Camera(Config cfg) : m_cfg(std::move(cfg)), m(std::make_unique<Impl>(m_cfg)) {}

Camera::~Camera() { stop(); }

void Camera::setEventHandler(std::function<void(const Event&)> handler) { m->handler = std::move(handler); }

bool Camera::start(std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (m->running || m->stopFlag.load())
        return fail("a camera starts once");
    std::string bad = validate(m_cfg);
    if (!bad.empty())
        return fail(bad);
    if (!m->waker.valid())
        return fail("no wake-up pipe");
    m->sock = platform::udpSocket();
    sockaddr_in addr = platform::makeAddr(m_cfg.ip.c_str(), m_cfg.gvcpPort);
    if (m->sock == platform::INVALID_SOCK ||
        ::bind(m->sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::string why = "cannot bind " + m_cfg.ip + ":" + std::to_string(m_cfg.gvcpPort) + ": " +
                          std::strerror(platform::lastSocketError());
        platform::closeSocket(m->sock);
        m->sock = platform::INVALID_SOCK;
        return fail(why);
    }
    {
        std::lock_guard<std::mutex> g(m->lock);
        m->running = true;
    }
    m->note(EventKind::Control, 1,
            "camera kind " + std::to_string(m_cfg.kind) + " (" + m_cfg.model + ", firmware " +
                m_cfg.firmwareVersion + ") answering on " + m_cfg.ip + ":" + std::to_string(m_cfg.gvcpPort));
    m->gvcpThread = std::thread([this] { m->gvcpLoop(); });
    return true;
}

void Camera::stop() {
    {
        std::lock_guard<std::mutex> g(m->lock);
        if (!m->running)
            return;
        m->stopping = true;
        m->wake.notify_all();
    }
    m->stopFlag.store(true);
    m->waker.wake();
    if (m->gvcpThread.joinable())
        m->gvcpThread.join();
    if (m->worker.joinable())
        m->worker.join();
    platform::closeSocket(m->sock);
    m->sock = platform::INVALID_SOCK;
    std::lock_guard<std::mutex> g(m->lock);
    m->running = false;
}

Snapshot Camera::snapshot() const {
    std::lock_guard<std::mutex> g(m->lock);
    Snapshot s = m->stats;
    const RegisterModel& md = m->model;
    s.running = m->running;
    s.answering = m->running && m->answering;
    s.controlled = md.controlled();
    s.controller = md.controlled() ? md.controller().text() : std::string();
    s.ccp = md.ccp();
    s.heartbeatMs = md.heartbeatMs();
    s.state = md.state();
    s.percent = md.percent();
    s.busy = md.busy();
    s.fileServer = md.fileServer();
    s.firmwareVersion = md.firmwareVersion();
    return s;
}

std::vector<Event> Camera::events() const {
    std::lock_guard<std::mutex> g(m->lock);
    return std::vector<Event>(m->log.begin(), m->log.end());
}

bool Camera::waitFor(const std::function<bool(const Snapshot&)>& pred, int timeoutMs) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred(snapshot()))
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> g(m->lock);
        m->wake.wait_for(g, std::chrono::milliseconds(20));
    }
}

}  // namespace camsim
