// The camera's control channel: GVCP on <ip>:<port>, and discovery
// broadcasts heard on the port of the limited broadcast address, answered
// from the camera's own address. The acknowledge faults (loss, latency,
// pending, stale, duplicate) and the replay of a repeated request live here.
#pragma once

#include "CameraState.h"

#include "platform/socket.h"

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace camsim {

class GvcpServer {
public:
    // Called on the server's thread with what a request asked the camera to do.
    using Launch = std::function<void(const Action&)>;

    GvcpServer(CameraState& state, Launch launch);
    ~GvcpServer();
    GvcpServer(const GvcpServer&) = delete;
    GvcpServer& operator=(const GvcpServer&) = delete;

    // Binds the camera's address; false with the reason when it cannot.
    bool bind(std::string* error);
    // Starts answering.
    void run();
    // Wakes and joins the server's threads and closes its sockets.
    void stop();

private:
    void loop();
    void listenForDiscovery();
    bool openDiscoverySocket(std::string* why);
    void handle(const std::uint8_t* buf, std::size_t n, const sockaddr_in& fromAddr);
    void answerBroadcast(const std::uint8_t* buf, std::size_t n, const sockaddr_in& fromAddr);
    std::uint16_t execute(std::uint16_t cmd, const std::uint8_t* p, std::size_t len, const Peer& from,
                          std::vector<std::uint8_t>* payload);
    void send(const std::vector<std::uint8_t>& pkt, const sockaddr_in& to);

    CameraState& m_state;
    const Config& m_cfg;
    Launch m_launch;

    platform::socket_t m_sock = platform::INVALID_SOCK;
    platform::Waker m_waker;
    std::thread m_thread;
    platform::socket_t m_discoverySock = platform::INVALID_SOCK;
    platform::Waker m_discoveryWaker;
    std::thread m_discoveryThread;

    // Used by the server's thread only.
    std::mt19937 m_rng;
    std::vector<std::uint8_t> m_lastAck;  // sent last, to anyone (the stale-acknowledge fault)
    // The last request answered, so that a retransmission (its acknowledge was
    // lost) gets the same answer again instead of running twice.
    struct Answered {
        Peer from;
        std::uint16_t cmd = 0;
        std::uint16_t id = 0;
        std::vector<std::uint8_t> ack;
    } m_answered;
};

}  // namespace camsim
