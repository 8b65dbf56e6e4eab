// A GVCP responder on a loopback address, standing in for a camera's control
// channel: registers and memory share one byte-addressed map, every request
// is recorded as it came, and knobs make it misbehave the ways real cameras
// do (silence, error statuses, late acknowledges after a pending one).
#pragma once

#include "platform/socket.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace camtest {

using Words = std::vector<std::uint32_t>;

// One datagram the camera received.
struct GvcpRequest {
    std::vector<std::uint8_t> raw;
    std::chrono::steady_clock::time_point at;
    std::uint16_t command = 0;
    std::uint16_t length = 0;
    std::uint16_t reqId = 0;
    // The payload as big-endian words: READREG addresses, WRITEREG address and
    // value pairs, READMEM address and count, WRITEMEM address.
    Words words;
    std::vector<std::uint8_t> data;  // WRITEMEM: what follows the address

    bool isReadOf(std::uint32_t address) const;
    bool isWriteOf(std::uint32_t address) const;
};

class FakeGvcpCamera {
public:
    static constexpr std::uint16_t STATUS_ACCESS_DENIED = 0x8006;

    // Binds ip:3956 and starts answering. ok() says whether the bind worked.
    explicit FakeGvcpCamera(const std::string& ip);
    ~FakeGvcpCamera();
    FakeGvcpCamera(const FakeGvcpCamera&) = delete;
    FakeGvcpCamera& operator=(const FakeGvcpCamera&) = delete;

    bool ok() const { return m_socket != platform::INVALID_SOCK; }

    void setRegister(std::uint32_t address, std::uint32_t value);
    std::uint32_t getRegister(std::uint32_t address) const;
    void setMemory(std::uint32_t address, const void* data, std::size_t size);

    std::vector<GvcpRequest> requests() const;
    std::vector<GvcpRequest> requestsOf(std::uint16_t command) const;
    // All but the reads of the privilege register, which a connected
    // manager's heartbeat sends back to back.
    std::vector<GvcpRequest> requestsBesidesHeartbeat() const;
    std::size_t requestCount() const;
    void clearRequests();

    // Records, answers nothing.
    void setSilent(bool silent);
    // Accesses of this address are answered with this status (0 clears).
    void setStatusFor(std::uint32_t address, std::uint16_t status);
    // The next read of this address gets a pending acknowledge, the real
    // one after ms; other requests are answered as set.
    void answerNextReadLate(std::uint32_t address, int ms);
    // The real acknowledge goes out only after ms.
    void setAnswerDelay(int ms);

private:
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        sockaddr_in to;
    };

    void serve();
    void handle(GvcpRequest req, const sockaddr_in& from);
    std::vector<std::uint8_t> answer(const GvcpRequest& request);
    std::uint32_t readWord(std::uint32_t address) const;
    void writeWord(std::uint32_t address, std::uint32_t value);

    platform::socket_t m_socket = platform::INVALID_SOCK;
    platform::Waker m_waker;

    mutable std::mutex m_lock;  // everything below
    bool m_stop = false;
    std::map<std::uint32_t, std::uint8_t> m_memory;
    std::vector<GvcpRequest> m_requests;
    std::multimap<std::chrono::steady_clock::time_point, Outgoing> m_outgoing;  // by when due
    bool m_silent = false;
    std::map<std::uint32_t, std::uint16_t> m_statusFor;
    int m_answerDelayMs = 0;
    std::uint32_t m_lateAddress = 0;
    int m_lateMs = -1;

    std::thread m_thread;
};

}  // namespace camtest
