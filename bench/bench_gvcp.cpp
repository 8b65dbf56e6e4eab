// Register-read transactions per second of the GVCP client against a
// responder that answers at once on loopback, beside a bare UDP
// request/response loop with the same packet sizes (12 bytes each way), which
// is the limit on this machine. Short rounds of the two alternate (and swap
// their order every round) so that a drift of this shared machine hits both
// alike; the summary gives the median of the per-round ratios and their spread.
#include "platform/socket.h"
#include "wire/ByteCodec.h"
#include "upgrade/GigEProtocol.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const RESPONDER_IP = "127.0.1.200";
constexpr std::uint16_t RESPONDER_PORT = 3956;
constexpr int ROUNDS = 15;
// About 0.2 s a round at the 50,000 transactions a second loopback allows.
constexpr int TRANSACTIONS = 10000;

// Transactions per second of each round, by loop.
std::vector<double> g_raw;
std::vector<double> g_client;

// Answers every datagram with a 12-byte READREG_ACK carrying its request id.
class Responder {
public:
    Responder() {
        m_socket = platform::udpSocket();
        sockaddr_in addr = platform::makeAddr(RESPONDER_IP, RESPONDER_PORT);
        if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            std::fprintf(stderr, "cannot bind %s:%u\n", RESPONDER_IP, RESPONDER_PORT);
            std::exit(1);
        }
        m_thread = std::thread([this] { serve(); });
    }
    ~Responder() {
        m_stop.store(true);
        m_waker.wake();
        m_thread.join();
        platform::closeSocket(m_socket);
    }

private:
    void serve() {
        char in[1500];
        std::uint8_t ack[12] = {0, 0, 0, 0x81, 0, 4, 0, 0, 0, 0, 0, 2};
        while (!m_stop.load()) {
            if (platform::waitReadable(m_socket, -1, &m_waker) != platform::WAIT_READABLE)
                continue;
            sockaddr_in from{};
            int n;
            while ((n = platform::recvDatagram(m_socket, in, sizeof in, &from)) >= 8) {
                ack[6] = static_cast<std::uint8_t>(in[6]);
                ack[7] = static_cast<std::uint8_t>(in[7]);
                platform::sendDatagram(m_socket, ack, sizeof ack, from);
            }
        }
    }

    platform::socket_t m_socket;
    platform::Waker m_waker;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};


double perSecond(std::chrono::steady_clock::time_point t0, std::int64_t transactions) {
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
    return static_cast<double>(transactions) / took.count();
}

void BM_GvcpReadReg(benchmark::State& state) {
    platform::socket_t s = platform::udpSocket();
    CGigEProtocol client(s);
    client.setAddress(RESPONDER_IP, RESPONDER_PORT);
    std::int64_t failed = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        ReadRegRequest request{};
        ReadRegAck ack{};
        request.count = 1;
        request.address[0] = 0x0A00;
        request.header.flags = GVCP_FLAG_ACK_REQUIRED;
        if (!client.readReg(request, ack))
            ++failed;
        benchmark::DoNotOptimize(ack.value[0]);
    }
    g_client.push_back(perSecond(t0, state.iterations()));
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
    if (failed > 0)
        state.SkipWithError("a transaction failed");
    platform::closeSocket(s);
}

// The same exchange with nothing but sendto and a blocking recv.
void BM_RawUdpRequestResponse(benchmark::State& state) {
    platform::socket_t s = platform::udpSocket();
    sockaddr_in to = platform::makeAddr(RESPONDER_IP, RESPONDER_PORT);
    std::uint8_t request[12] = {0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x10, 0x01, 0, 0, 0x0A, 0};
    char reply[1024];
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        platform::sendDatagram(s, request, sizeof request, to);
        auto n = ::recv(s, reply, sizeof reply, 0);
        benchmark::DoNotOptimize(n);
    }
    g_raw.push_back(perSecond(t0, state.iterations()));
    state.SetItemsProcessed(state.iterations());
    platform::closeSocket(s);
}

double at(const std::vector<double>& sorted, double q) {
    return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5)];
}

void summary() {
    if (g_raw.size() != g_client.size() || g_raw.empty()) {
        std::printf("rounds incomplete: %zu raw, %zu client\n", g_raw.size(), g_client.size());
        return;
    }
    std::vector<double> ratios;
    for (std::size_t i = 0; i < g_raw.size(); ++i)
        ratios.push_back(g_client[i] / g_raw[i]);
    std::vector<double> raw = g_raw, client = g_client;
    std::sort(ratios.begin(), ratios.end());
    std::sort(raw.begin(), raw.end());
    std::sort(client.begin(), client.end());
    std::printf("\n%zu rounds of %d transactions each: readReg median %.0f tx/s, raw UDP loop median %.0f tx/s\n",
                ratios.size(), TRANSACTIONS, at(client, 0.5), at(raw, 0.5));
    std::printf("readReg / raw per round: median %.3f, quartiles %.3f-%.3f, range %.3f-%.3f\n", at(ratios, 0.5),
                at(ratios, 0.25), at(ratios, 0.75), ratios.front(), ratios.back());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Responder responder;
    for (int round = 0; round < ROUNDS; ++round) {
        auto raw = [] { return benchmark::RegisterBenchmark("raw_udp_loop", BM_RawUdpRequestResponse); };
        auto client = [] { return benchmark::RegisterBenchmark("gvcp_readreg", BM_GvcpReadReg); };
        for (auto* b : round % 2 == 0 ? std::vector{raw(), client()} : std::vector{client(), raw()})
            b->Iterations(TRANSACTIONS)->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summary();
    return 0;
}
