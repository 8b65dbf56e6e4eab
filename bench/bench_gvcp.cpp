// Register-read transactions per second of the GVCP client against a
// responder that answers at once on loopback, beside a bare UDP
// request/response loop with the same packet sizes (12 bytes each way), which
// is the limit on this machine. Prints the ratio of the two at the end.
#include "platform/socket.h"
#include "wire/ByteCodec.h"
#include "upgrade/GigEProtocol.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

namespace {

const char* const RESPONDER_IP = "127.0.1.200";
constexpr std::uint16_t RESPONDER_PORT = 3956;

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


void BM_GvcpReadReg(benchmark::State& state) {
    platform::socket_t s = platform::udpSocket();
    CGigEProtocol client(s);
    client.setAddress(RESPONDER_IP, RESPONDER_PORT);
    std::int64_t failed = 0;
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
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
    platform::closeSocket(s);
}

// The same exchange with nothing but sendto and a blocking recv.
void BM_RawUdpRequestResponse(benchmark::State& state) {
    platform::socket_t s = platform::udpSocket();
    sockaddr_in to = platform::makeAddr(RESPONDER_IP, RESPONDER_PORT);
    std::uint8_t request[12] = {0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x10, 0x01, 0, 0, 0x0A, 0};
    char reply[1024];
    for (auto _ : state) {
        platform::sendDatagram(s, request, sizeof request, to);
        auto n = ::recv(s, reply, sizeof reply, 0);
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
    platform::closeSocket(s);
}

BENCHMARK(BM_RawUdpRequestResponse)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_GvcpReadReg)->MinTime(2.0)->UseRealTime();

// Keeps the rates to print their ratio after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions, the median stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end())
                rates[run.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Responder responder;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double raw = 0, gvcp = 0;
    for (const auto& r : reporter.rates) {
        if (r.first.find("BM_RawUdpRequestResponse") == 0)
            raw = r.second;
        if (r.first.find("BM_GvcpReadReg") == 0)
            gvcp = r.second;
    }
    if (raw > 0 && gvcp > 0)
        std::printf("readReg %.0f tx/s, raw UDP loop %.0f tx/s, ratio %.3f\n", gvcp, raw, gvcp / raw);
    benchmark::Shutdown();
    return 0;
}
