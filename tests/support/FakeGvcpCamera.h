// A GVCP responder on a loopback address, standing in for a camera's control
// channel in tests: registers and memory share one byte-addressed map, every
// request is recorded with its raw datagram, and knobs make it misbehave the
// ways real cameras do (silence, refusal, pending acknowledges, late
// acknowledges of an older request, dropped requests).
#pragma once

#include "platform/socket.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace camtest {

using SteadyTime = std::chrono::steady_clock::time_point;

// One datagram the camera received. For register writes every pair is in
// `pairs`; for memory writes the data is in `data`.
struct GvcpRequest {
    std::vector<std::uint8_t> raw;
    SteadyTime at;
    bool wellFormed = false;
    std::uint8_t flags = 0;
    std::uint16_t command = 0;
    std::uint16_t length = 0;
    std::uint16_t reqId = 0;
    std::vector<std::uint32_t> addresses;                             // READREG
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;       // WRITEREG
    std::uint32_t memAddress = 0;                                     // READMEM/WRITEMEM
    std::uint16_t memCount = 0;                                       // READMEM
    std::vector<std::uint8_t> data;                                   // WRITEMEM

    bool isReadOf(std::uint32_t address) const;
    bool isWriteOf(std::uint32_t address) const;
};

class FakeGvcpCamera {
public:
    static constexpr std::uint16_t STATUS_ACCESS_DENIED = 0x8006;
    static constexpr std::uint16_t STATUS_INVALID_ADDRESS = 0x8003;

    // Binds ip:port and starts answering. ok() says whether the bind worked.
    explicit FakeGvcpCamera(const std::string& ip, std::uint16_t port = 3956);
    ~FakeGvcpCamera();
    FakeGvcpCamera(const FakeGvcpCamera&) = delete;
    FakeGvcpCamera& operator=(const FakeGvcpCamera&) = delete;

    bool ok() const { return m_socket != platform::INVALID_SOCK; }
    const std::string& ip() const { return m_ip; }

    // ---- the register and memory map (big-endian registers) ----
    void setRegister(std::uint32_t address, std::uint32_t value);
    std::uint32_t getRegister(std::uint32_t address) const;
    void setMemory(std::uint32_t address, const void* data, std::size_t size);
    std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t size) const;

    // ---- what arrived ----
    std::vector<GvcpRequest> requests() const;
    std::size_t requestCount() const;
    // Requests with the given command code (0x0080, 0x0082, ...).
    std::vector<GvcpRequest> requestsOf(std::uint16_t command) const;
    void clearRequests();
    // Waits until at least n requests have arrived in all.
    bool waitForRequests(std::size_t n, int timeoutMs) const;
    // Waits until a request matching pred has arrived.
    bool waitFor(const std::function<bool(const GvcpRequest&)>& pred, int timeoutMs) const;
    // Called on the camera's thread for every well-formed register or memory
    // write, after the map is updated and before the acknowledge goes out.
    // It may call the setters of this class.
    void onWrite(std::function<void(const GvcpRequest&)> hook);

    // ---- misbehaviour ----
    // Receives and records, answers nothing.
    void setSilent(bool silent);
    // Silent from now for ms, then answers again.
    void silenceFor(int ms);
    // Accesses of this address are answered with this status (0 clears).
    void setStatusFor(std::uint32_t address, std::uint16_t status);
    // Every request is answered with this status (0 clears).
    void setDeviceError(std::uint16_t status);
    // Answers each request first with a pending acknowledge of toCompletionMs,
    // then with the real acknowledge after answerAfterMs (never when < 0).
    // Pass toCompletionMs < 0 to switch it off.
    void setPending(int toCompletionMs, int answerAfterMs);
    // Sends the real acknowledge only after ms.
    void setAnswerDelay(int ms);
    // Sends an acknowledge of the previous request id before the real one.
    void setStaleAckFirst(bool on);
    // Leaves the n-th request from now unanswered (1 = the next one).
    void dropNth(int n);
    // Sends this datagram instead of the acknowledge of the next request.
    void replaceNextAck(std::vector<std::uint8_t> datagram);
    // Sends these datagrams, in order, ahead of the next request's answer.
    void sendBeforeNextAck(std::vector<std::vector<std::uint8_t>> datagrams);

private:
    struct Outgoing {
        SteadyTime due;
        std::vector<std::uint8_t> bytes;
        sockaddr_in to;
    };

    void serve();
    void handle(const std::uint8_t* data, std::size_t size, const sockaddr_in& from);
    std::vector<std::uint8_t> answer(const GvcpRequest& request);
    std::uint32_t readWord(std::uint32_t address) const;
    void writeWord(std::uint32_t address, std::uint32_t value);
    std::uint16_t statusOf(std::uint32_t address) const;
    void sendDue();

    std::string m_ip;
    platform::socket_t m_socket = platform::INVALID_SOCK;
    platform::Waker m_waker;
    bool m_stop = false;  // guarded by m_lock

    mutable std::mutex m_lock;
    mutable std::condition_variable m_arrived;
    std::map<std::uint32_t, std::uint8_t> m_memory;
    std::vector<GvcpRequest> m_requests;
    std::function<void(const GvcpRequest&)> m_onWrite;
    std::vector<Outgoing> m_outgoing;

    bool m_silent = false;
    SteadyTime m_silentUntil{};
    std::map<std::uint32_t, std::uint16_t> m_statusFor;
    std::uint16_t m_deviceError = 0;
    int m_pendingMs = -1;
    int m_pendingAnswerMs = 0;
    int m_answerDelayMs = 0;
    bool m_staleFirst = false;
    int m_dropCountdown = 0;
    std::vector<std::uint8_t> m_replacement;
    bool m_replace = false;
    std::vector<std::vector<std::uint8_t>> m_before;

    std::thread m_thread;
};

}  // namespace camtest
