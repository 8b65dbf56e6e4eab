#include "support/FakeGvcpCamera.h"

#include "upgrade/ByteCodec.h"

#include <algorithm>

namespace camtest {

namespace {

constexpr std::uint16_t CMD_READREG = 0x0080;
constexpr std::uint16_t CMD_WRITEREG = 0x0082;
constexpr std::uint16_t CMD_READMEM = 0x0084;
constexpr std::uint16_t CMD_WRITEMEM = 0x0086;
constexpr std::uint16_t ACK_PENDING = 0x0089;
constexpr std::uint16_t STATUS_NOT_IMPLEMENTED = 0x8001;

GvcpRequest parse(const std::uint8_t* data, std::size_t size) {
    GvcpRequest req;
    req.raw.assign(data, data + size);
    req.at = std::chrono::steady_clock::now();
    wire::Reader r(data, size);
    std::uint8_t key = r.u8();
    req.flags = r.u8();
    req.command = r.u16();
    req.length = r.u16();
    req.reqId = r.u16();
    if (!r.ok() || key != 0x42 || req.length > r.remaining())
        return req;
    wire::Reader p(r.current(), req.length);
    switch (req.command) {
    case CMD_READREG:
        if (req.length % 4 != 0)
            return req;
        while (p.remaining() > 0)
            req.addresses.push_back(p.u32());
        break;
    case CMD_WRITEREG:
        if (req.length % 8 != 0)
            return req;
        while (p.remaining() > 0) {
            std::uint32_t a = p.u32();
            req.pairs.emplace_back(a, p.u32());
        }
        break;
    case CMD_READMEM:
        if (req.length != 8)
            return req;
        req.memAddress = p.u32();
        p.u16();
        req.memCount = p.u16();
        break;
    case CMD_WRITEMEM:
        if (req.length < 4)
            return req;
        req.memAddress = p.u32();
        req.data.assign(p.current(), p.current() + p.remaining());
        break;
    default:
        break;
    }
    req.wellFormed = true;
    return req;
}

void putAckHeader(std::vector<std::uint8_t>& out, std::uint16_t status, std::uint16_t code,
                  std::uint16_t length, std::uint16_t id) {
    out.resize(8);
    wire::put16(&out[0], status);
    wire::put16(&out[2], code);
    wire::put16(&out[4], length);
    wire::put16(&out[6], id);
}

void append32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    std::uint8_t b[4];
    wire::put32(b, v);
    out.insert(out.end(), b, b + 4);
}

}  // namespace

bool GvcpRequest::isReadOf(std::uint32_t address) const {
    return command == CMD_READREG &&
           std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

bool GvcpRequest::isWriteOf(std::uint32_t address) const {
    return command == CMD_WRITEREG &&
           std::any_of(pairs.begin(), pairs.end(),
                       [address](const std::pair<std::uint32_t, std::uint32_t>& p) {
                           return p.first == address;
                       });
}

FakeGvcpCamera::FakeGvcpCamera(const std::string& ip, std::uint16_t port) : m_ip(ip) {
    platform::socket_t s = platform::udpSocket();
    sockaddr_in addr = platform::makeAddr(ip.c_str(), port);
    if (s == platform::INVALID_SOCK ||
        ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        platform::closeSocket(s);
        return;
    }
    m_socket = s;
    m_thread = std::thread(&FakeGvcpCamera::serve, this);
}

FakeGvcpCamera::~FakeGvcpCamera() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_waker.wake();
    if (m_thread.joinable())
        m_thread.join();
    platform::closeSocket(m_socket);
}

void FakeGvcpCamera::serve() {
    std::vector<std::uint8_t> buf(2048);
    for (;;) {
        std::int64_t waitUs = -1;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_stop)
                return;
            if (!m_outgoing.empty()) {
                auto next = std::min_element(m_outgoing.begin(), m_outgoing.end(),
                                             [](const Outgoing& a, const Outgoing& b) {
                                                 return a.due < b.due;
                                             })->due;
                auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                    next - std::chrono::steady_clock::now());
                waitUs = std::max<std::int64_t>(0, left.count());
            }
        }
        int r = platform::waitReadable(m_socket, waitUs, &m_waker);
        if (r == platform::WAIT_READABLE) {
            sockaddr_in from{};
            int n;
            while ((n = platform::recvDatagram(m_socket, reinterpret_cast<char*>(buf.data()),
                                               buf.size(), &from)) >= 0)
                handle(buf.data(), static_cast<std::size_t>(n), from);
        }
        sendDue();
    }
}

void FakeGvcpCamera::sendDue() {
    std::vector<Outgoing> due;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto now = std::chrono::steady_clock::now();
        auto split = std::partition(m_outgoing.begin(), m_outgoing.end(),
                                    [now](const Outgoing& o) { return o.due > now; });
        due.assign(split, m_outgoing.end());
        m_outgoing.erase(split, m_outgoing.end());
    }
    std::sort(due.begin(), due.end(),
              [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; });
    for (const Outgoing& o : due)
        platform::sendDatagram(m_socket, o.bytes.data(), o.bytes.size(), o.to);
}

void FakeGvcpCamera::handle(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) {
    GvcpRequest req = parse(data, size);
    bool ignore;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back(req);
        m_arrived.notify_all();
        bool silent = m_silent || req.at < m_silentUntil;
        bool drop = m_dropCountdown > 0 && --m_dropCountdown == 0;
        ignore = silent || drop || !req.wellFormed;
    }
    if (ignore)
        return;

    std::vector<std::uint8_t> ack = answer(req);
    bool isWrite = req.command == CMD_WRITEREG || req.command == CMD_WRITEMEM;
    std::function<void(const GvcpRequest&)> hook;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        hook = m_onWrite;
    }
    if (isWrite && hook)
        hook(req);
    if ((req.flags & 0x01) == 0)
        return;

    auto now = std::chrono::steady_clock::now();
    std::vector<Outgoing> out;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& d : m_before)
            out.push_back({now, std::move(d), from});
        m_before.clear();
        if (m_replace) {
            m_replace = false;
            out.push_back({now, m_replacement, from});
        } else {
            if (m_staleFirst) {
                std::vector<std::uint8_t> stale = ack;
                wire::put16(&stale[6], static_cast<std::uint16_t>(req.reqId - 1));
                out.push_back({now, stale, from});
            }
            if (m_pendingMs >= 0) {
                std::vector<std::uint8_t> pending;
                putAckHeader(pending, 0, ACK_PENDING, 4, req.reqId);
                append32(pending, static_cast<std::uint16_t>(m_pendingMs));
                out.push_back({now, pending, from});
                if (m_pendingAnswerMs >= 0)
                    out.push_back({now + std::chrono::milliseconds(m_pendingAnswerMs), ack, from});
            } else {
                out.push_back({now + std::chrono::milliseconds(m_answerDelayMs), ack, from});
            }
        }
        for (const Outgoing& o : out)
            if (o.due > now)
                m_outgoing.push_back(o);
    }
    for (const Outgoing& o : out)
        if (o.due <= now)
            platform::sendDatagram(m_socket, o.bytes.data(), o.bytes.size(), o.to);
}

std::vector<std::uint8_t> FakeGvcpCamera::answer(const GvcpRequest& req) {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::uint8_t> ack;
    const std::uint16_t id = req.reqId;
    std::uint16_t status = m_deviceError;
    switch (req.command) {
    case CMD_READREG: {
        std::vector<std::uint8_t> values;
        for (std::uint32_t a : req.addresses) {
            if (status == 0)
                status = statusOf(a);
            append32(values, readWord(a));
        }
        if (status != 0) {
            putAckHeader(ack, status, CMD_READREG + 1, 0, id);
        } else {
            putAckHeader(ack, 0, CMD_READREG + 1, static_cast<std::uint16_t>(values.size()), id);
            ack.insert(ack.end(), values.begin(), values.end());
        }
        break;
    }
    case CMD_WRITEREG: {
        std::uint16_t index = 0;
        for (const auto& pair : req.pairs) {
            if (status == 0)
                status = statusOf(pair.first);
            if (status != 0)
                break;
            writeWord(pair.first, pair.second);
            ++index;
        }
        putAckHeader(ack, status, CMD_WRITEREG + 1, 4, id);
        append32(ack, index);
        break;
    }
    case CMD_READMEM:
        if (status == 0)
            status = statusOf(req.memAddress);
        if (status != 0) {
            putAckHeader(ack, status, CMD_READMEM + 1, 0, id);
        } else {
            putAckHeader(ack, 0, CMD_READMEM + 1, static_cast<std::uint16_t>(4 + req.memCount), id);
            append32(ack, req.memAddress);
            for (std::uint32_t i = 0; i < req.memCount; ++i) {
                auto it = m_memory.find(req.memAddress + i);
                ack.push_back(it != m_memory.end() ? it->second : 0);
            }
        }
        break;
    case CMD_WRITEMEM:
        if (status == 0)
            status = statusOf(req.memAddress);
        if (status == 0)
            for (std::size_t i = 0; i < req.data.size(); ++i)
                m_memory[req.memAddress + static_cast<std::uint32_t>(i)] = req.data[i];
        putAckHeader(ack, status, CMD_WRITEMEM + 1, 4, id);
        append32(ack, status == 0 ? static_cast<std::uint32_t>(req.data.size()) : 0);
        break;
    default:
        putAckHeader(ack, STATUS_NOT_IMPLEMENTED, static_cast<std::uint16_t>(req.command + 1), 0, id);
        break;
    }
    return ack;
}

std::uint32_t FakeGvcpCamera::readWord(std::uint32_t address) const {
    std::uint8_t b[4];
    for (std::uint32_t i = 0; i < 4; ++i) {
        auto it = m_memory.find(address + i);
        b[i] = it != m_memory.end() ? it->second : 0;
    }
    return wire::get32(b);
}

void FakeGvcpCamera::writeWord(std::uint32_t address, std::uint32_t value) {
    std::uint8_t b[4];
    wire::put32(b, value);
    for (std::uint32_t i = 0; i < 4; ++i)
        m_memory[address + i] = b[i];
}

std::uint16_t FakeGvcpCamera::statusOf(std::uint32_t address) const {
    auto it = m_statusFor.find(address);
    return it != m_statusFor.end() ? it->second : 0;
}

void FakeGvcpCamera::setRegister(std::uint32_t address, std::uint32_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    writeWord(address, value);
}

std::uint32_t FakeGvcpCamera::getRegister(std::uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_lock);
    return readWord(address);
}

void FakeGvcpCamera::setMemory(std::uint32_t address, const void* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i)
        m_memory[address + static_cast<std::uint32_t>(i)] = p[i];
}

std::vector<std::uint8_t> FakeGvcpCamera::memory(std::uint32_t address, std::size_t size) const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::uint8_t> out(size, 0);
    for (std::size_t i = 0; i < size; ++i) {
        auto it = m_memory.find(address + static_cast<std::uint32_t>(i));
        if (it != m_memory.end())
            out[i] = it->second;
    }
    return out;
}

std::vector<GvcpRequest> FakeGvcpCamera::requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

std::size_t FakeGvcpCamera::requestCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests.size();
}

std::vector<GvcpRequest> FakeGvcpCamera::requestsOf(std::uint16_t command) const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<GvcpRequest> out;
    for (const GvcpRequest& r : m_requests)
        if (r.command == command)
            out.push_back(r);
    return out;
}

void FakeGvcpCamera::clearRequests() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.clear();
}

bool FakeGvcpCamera::waitForRequests(std::size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= n; });
}

bool FakeGvcpCamera::waitFor(const std::function<bool(const GvcpRequest&)>& pred,
                             int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_lock);
    std::size_t seen = 0;
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (; seen < m_requests.size(); ++seen)
            if (pred(m_requests[seen]))
                return true;
        return false;
    });
}

void FakeGvcpCamera::onWrite(std::function<void(const GvcpRequest&)> hook) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_onWrite = std::move(hook);
}

void FakeGvcpCamera::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_silent = silent;
    if (!silent)
        m_silentUntil = SteadyTime{};
}

void FakeGvcpCamera::silenceFor(int ms) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_silentUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

void FakeGvcpCamera::setStatusFor(std::uint32_t address, std::uint16_t status) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (status == 0)
        m_statusFor.erase(address);
    else
        m_statusFor[address] = status;
}

void FakeGvcpCamera::setDeviceError(std::uint16_t status) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_deviceError = status;
}

void FakeGvcpCamera::setPending(int toCompletionMs, int answerAfterMs) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pendingMs = toCompletionMs;
    m_pendingAnswerMs = answerAfterMs;
}

void FakeGvcpCamera::setAnswerDelay(int ms) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_answerDelayMs = ms;
}

void FakeGvcpCamera::setStaleAckFirst(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_staleFirst = on;
}

void FakeGvcpCamera::dropNth(int n) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_dropCountdown = n;
}

void FakeGvcpCamera::replaceNextAck(std::vector<std::uint8_t> datagram) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_replacement = std::move(datagram);
    m_replace = true;
}

void FakeGvcpCamera::sendBeforeNextAck(std::vector<std::vector<std::uint8_t>> datagrams) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_before = std::move(datagrams);
}

}  // namespace camtest
