#include "support/FakeGvcpCamera.h"

#include "wire/ByteCodec.h"

#include <algorithm>

namespace camtest {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t CMD_READREG = 0x0080;
constexpr std::uint16_t CMD_WRITEREG = 0x0082;
constexpr std::uint16_t CMD_READMEM = 0x0084;
constexpr std::uint16_t CMD_WRITEMEM = 0x0086;
constexpr std::uint16_t ACK_PENDING = 0x0089;
constexpr std::uint16_t STATUS_NOT_IMPLEMENTED = 0x8001;
constexpr std::uint32_t REG_CCP = 0x0A00;

GvcpRequest parse(const std::uint8_t* data, std::size_t size) {
    GvcpRequest req;
    req.raw.assign(data, data + size);
    req.at = std::chrono::steady_clock::now();
    if (size < 8)
        return req;
    req.command = wire::get16(data + 2);
    req.length = wire::get16(data + 4);
    req.reqId = wire::get16(data + 6);
    // Never past what arrived, whatever the length field says.
    const std::size_t end = 8 + std::min<std::size_t>(req.length, size - 8);
    const std::size_t wordsEnd = req.command == CMD_WRITEMEM ? std::min<std::size_t>(end, 12) : end;
    for (std::size_t at = 8; at + 4 <= wordsEnd; at += 4)
        req.words.push_back(wire::get32(data + at));
    if (req.command == CMD_WRITEMEM && end > 12)
        req.data.assign(data + 12, data + end);
    return req;
}

void append32(Bytes& out, std::uint32_t v) {
    std::uint8_t b[4];
    wire::put32(b, v);
    out.insert(out.end(), b, b + 4);
}

Bytes ackOf(std::uint16_t status, std::uint16_t code, std::uint16_t id, const Bytes& payload) {
    Bytes out(8 + payload.size());
    wire::put16(&out[0], status);
    wire::put16(&out[2], code);
    wire::put16(&out[4], static_cast<std::uint16_t>(payload.size()));
    wire::put16(&out[6], id);
    std::copy(payload.begin(), payload.end(), out.begin() + 8);
    return out;
}

}  // namespace

bool GvcpRequest::isReadOf(std::uint32_t address) const {
    return command == CMD_READREG && std::find(words.begin(), words.end(), address) != words.end();
}

bool GvcpRequest::isWriteOf(std::uint32_t address) const {
    for (std::size_t i = 0; command == CMD_WRITEREG && i < words.size(); i += 2)
        if (words[i] == address)
            return true;
    return false;
}

FakeGvcpCamera::FakeGvcpCamera(const std::string& ip) {
    platform::socket_t s = platform::udpSocket();
    sockaddr_in addr = platform::makeAddr(ip.c_str(), 3956);
    if (s == platform::INVALID_SOCK || ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
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
    Bytes buf(2048);
    for (;;) {
        std::int64_t waitUs = -1;
        {
            // Everything due goes out, in the order it was queued.
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_stop)
                return;
            auto now = std::chrono::steady_clock::now();
            while (!m_outgoing.empty() && m_outgoing.begin()->first <= now) {
                const Outgoing& o = m_outgoing.begin()->second;
                platform::sendDatagram(m_socket, o.bytes.data(), o.bytes.size(), o.to);
                m_outgoing.erase(m_outgoing.begin());
            }
            if (!m_outgoing.empty())
                waitUs = std::max<std::int64_t>(
                    1, std::chrono::duration_cast<std::chrono::microseconds>(m_outgoing.begin()->first - now).count());
        }
        if (platform::waitReadable(m_socket, waitUs, &m_waker) != platform::WAIT_READABLE)
            continue;
        sockaddr_in from{};
        int n;
        while ((n = platform::recvDatagram(m_socket, reinterpret_cast<char*>(buf.data()), buf.size(), &from)) >= 0)
            handle(parse(buf.data(), static_cast<std::size_t>(n)), from);
    }
}

void FakeGvcpCamera::handle(GvcpRequest req, const sockaddr_in& from) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.push_back(req);
    if (m_silent || req.raw.size() < 8 || req.raw[0] != 0x42)
        return;
    Bytes ack = answer(req);
    if ((req.raw[1] & 0x01) == 0)
        return;

    auto now = std::chrono::steady_clock::now();
    auto queue = [&](int afterMs, Bytes bytes) {
        m_outgoing.emplace(now + std::chrono::milliseconds(afterMs), Outgoing{std::move(bytes), from});
    };
    if (m_lateMs >= 0 && req.isReadOf(m_lateAddress)) {
        const int pendingMs = m_lateMs + 1000;
        queue(0, ackOf(0, ACK_PENDING, req.reqId, {0, 0, static_cast<std::uint8_t>(pendingMs >> 8),
                                                   static_cast<std::uint8_t>(pendingMs)}));
        queue(m_lateMs, ack);
        m_lateMs = -1;
    } else {
        queue(m_answerDelayMs, ack);
    }
}

Bytes FakeGvcpCamera::answer(const GvcpRequest& req) {
    auto statusOf = [this](std::uint32_t address) -> std::uint16_t {
        auto it = m_statusFor.find(address);
        return it != m_statusFor.end() ? it->second : std::uint16_t{0};
    };
    std::uint16_t status = 0;
    Bytes payload;
    switch (req.command) {
    case CMD_READREG:
        for (std::uint32_t a : req.words) {
            status = status != 0 ? status : statusOf(a);
            append32(payload, readWord(a));
        }
        break;
    case CMD_WRITEREG: {
        std::uint32_t done = 0;
        for (std::size_t i = 0; i + 1 < req.words.size(); i += 2, ++done) {
            if ((status = statusOf(req.words[i])) != 0)
                break;
            writeWord(req.words[i], req.words[i + 1]);
        }
        append32(payload, done);
        return ackOf(status, CMD_WRITEREG + 1, req.reqId, payload);
    }
    case CMD_READMEM:
        if (req.words.size() == 2 && (status = statusOf(req.words[0])) == 0) {
            append32(payload, req.words[0]);
            for (std::uint32_t i = 0; i < (req.words[1] & 0xFFFF); ++i) {
                auto it = m_memory.find(req.words[0] + i);
                payload.push_back(it != m_memory.end() ? it->second : 0);
            }
        }
        break;
    case CMD_WRITEMEM:
        if (!req.words.empty() && (status = statusOf(req.words[0])) == 0)
            for (std::size_t i = 0; i < req.data.size(); ++i)
                m_memory[req.words[0] + static_cast<std::uint32_t>(i)] = req.data[i];
        append32(payload, status == 0 ? static_cast<std::uint32_t>(req.data.size()) : 0);
        return ackOf(status, CMD_WRITEMEM + 1, req.reqId, payload);
    default:
        status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    return ackOf(status, static_cast<std::uint16_t>(req.command + 1), req.reqId, status == 0 ? payload : Bytes{});
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
    for (std::size_t i = 0; i < size; ++i)
        m_memory[address + static_cast<std::uint32_t>(i)] = static_cast<const std::uint8_t*>(data)[i];
}

std::vector<GvcpRequest> FakeGvcpCamera::requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

std::vector<GvcpRequest> FakeGvcpCamera::requestsOf(std::uint16_t command) const {
    std::vector<GvcpRequest> out = requests();
    out.erase(std::remove_if(out.begin(), out.end(), [command](const GvcpRequest& r) { return r.command != command; }),
              out.end());
    return out;
}

std::vector<GvcpRequest> FakeGvcpCamera::requestsBesidesHeartbeat() const {
    std::vector<GvcpRequest> out = requests();
    out.erase(std::remove_if(out.begin(), out.end(), [](const GvcpRequest& r) { return r.isReadOf(REG_CCP); }),
              out.end());
    return out;
}

std::size_t FakeGvcpCamera::requestCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests.size();
}

void FakeGvcpCamera::clearRequests() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.clear();
}

void FakeGvcpCamera::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_silent = silent;
}

void FakeGvcpCamera::setStatusFor(std::uint32_t address, std::uint16_t status) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_statusFor[address] = status;
}

void FakeGvcpCamera::answerNextReadLate(std::uint32_t address, int ms) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_lateAddress = address;
    m_lateMs = ms;
}

void FakeGvcpCamera::setAnswerDelay(int ms) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_answerDelayMs = ms;
}

}  // namespace camtest
