// Time to serve a 16 MiB firmware file on loopback, lock-step, to the same
// client: from our port-69 service, from tftp-hpa's in.tftpd, and the raw
// floor of the pattern (a 4-byte datagram answered by a 516-byte one).
// Rounds alternate between the three so that drifts of the machine hit all
// alike; the summary gives medians and ratios.
//
// Runs in a network namespace of its own (needs root): our service binds
// port 69, and nothing touches the machine's network.
#include "ManagerGigeProto.h"
#include "support/FakeGvcpCamera.h"
#include "support/NetNs.h"
#include "support/TftpPeer.h"
#include "upgrade/DevApp.h"
#include "upgrade/UpdgradeManager.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using camtest::Bytes;
using camtest::UdpPeer;

namespace {

constexpr std::size_t FILE_SIZE = 16u << 20;
constexpr std::uint16_t TFTPD_PORT = 6969;
constexpr int ROUNDS = 7;

std::map<std::string, std::vector<double>> g_seconds;

// Fetches a file lock-step. A plain server ends a length that is a multiple
// of 512 with an empty block; ours stops after the last full one.
bool download(const UdpPeer& client, const std::string& name, const sockaddr_in& server,
              std::size_t expected, bool emptyLastBlock) {
    client.send(camtest::tftpRequest(name), server);
    Bytes block;
    sockaddr_in from{};
    std::size_t got = 0;
    std::uint16_t want = 1;
    for (;;) {
        if (!client.recv(block, &from, 5000))
            return false;
        if (camtest::opcodeOf(block) != 3 || camtest::blockOf(block) != want)
            continue;
        got += block.size() - 4;
        client.send(camtest::tftpAck(want), from);
        if (block.size() < 516 || (!emptyLastBlock && got == expected))
            return got == expected;
        ++want;
    }
}

struct Fixture {
    fs::path dir;
    // Ours: a session for the camera at 127.0.0.2, registered with the service.
    std::unique_ptr<camtest::FakeGvcpCamera> control;
    std::unique_ptr<managerGige> manager;
    std::unique_ptr<DevApp> session;
    std::unique_ptr<updgradeManager> service;
    pid_t tftpd = -1;
    bool ok = false;

    Fixture() {
        std::string why;
        if (!camtest::isolateNetwork(&why)) {
            std::fprintf(stderr, "needs a private network namespace: %s\n", why.c_str());
            return;
        }
        dir = fs::temp_directory_path() / ("bench_transfer." + std::to_string(getpid()));
        fs::create_directories(dir);
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        camtest::writeBytes(dir / "fw.bin", camtest::fileBytes(FILE_SIZE, 1));
        std::ofstream(dir / "pkg.bin") << "not an archive";

        control = std::make_unique<camtest::FakeGvcpCamera>("127.0.0.2");
        control->setAnswerDelay(200);
        manager = std::make_unique<managerGige>();
        manager->connect("127.0.0.2");
        service = std::make_unique<updgradeManager>();
        if (!service->startServer("", true))
            return;
        session = std::make_unique<DevApp>(manager.get(), "127.0.0.1", "127.0.0.2");
        service->addDevice(session.get(), (dir / "pkg.bin").string(), true);

        tftpd = ::fork();
        if (tftpd == 0) {
            // Only the port: with a host part it resolves the address with
            // AI_ADDRCONFIG, which finds none in a namespace with only lo.
            std::string address = ":" + std::to_string(TFTPD_PORT);
            ::execl("/usr/sbin/in.tftpd", "in.tftpd", "-4", "-L", "-a", address.c_str(), "-s",
                    dir.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ok = tftpd > 0;
    }
    ~Fixture() {
        if (tftpd > 0) {
            ::kill(tftpd, SIGTERM);
            ::waitpid(tftpd, nullptr, 0);
        }
        if (service)
            service->stopServer();
        session.reset();
        service.reset();
        manager.reset();
        control.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

void record(benchmark::State& state, const std::string& name, double seconds) {
    state.SetIterationTime(seconds);
    state.SetBytesProcessed(static_cast<std::int64_t>(FILE_SIZE));
    g_seconds[name].push_back(seconds);
}

void serveFrom(benchmark::State& state, const std::string& label, const char* clientIp,
               std::uint16_t port, bool emptyLastBlock) {
    UdpPeer client(clientIp);
    sockaddr_in server = platform::makeAddr("127.0.0.1", port);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bool done = download(client, "fw.bin", server, FILE_SIZE, emptyLastBlock);
        auto t1 = std::chrono::steady_clock::now();
        if (!done) {
            state.SkipWithError("download failed");
            return;
        }
        record(state, label, std::chrono::duration<double>(t1 - t0).count());
    }
}

void BM_OurService(benchmark::State& state) { serveFrom(state, "ours", "127.0.0.2", 69, false); }

void BM_InTftpd(benchmark::State& state) { serveFrom(state, "tftpd", "127.0.0.3", TFTPD_PORT, true); }

// The floor: the same number of 4-byte requests, each answered with 516 bytes.
void BM_PingPong(benchmark::State& state) {
    UdpPeer client("127.0.0.4");
    UdpPeer server("127.0.0.5");
    sockaddr_in serverAddr = platform::makeAddr("127.0.0.5", server.port());
    const int rounds = static_cast<int>(FILE_SIZE / 512);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        char buf[64];
        Bytes reply(516, 7);
        while (!stop) {
            if (platform::waitReadable(server.socket(), 100000) != platform::WAIT_READABLE)
                continue;
            sockaddr_in from{};
            if (platform::recvDatagram(server.socket(), buf, sizeof buf, &from) == 4)
                server.send(reply, from);
        }
    });
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        Bytes ack = camtest::tftpAck(1);
        char buf[600];
        bool ok = true;
        for (int i = 0; i < rounds && ok; ++i) {
            client.send(ack, serverAddr);
            ok = platform::waitReadable(client.socket(), 5000000) == platform::WAIT_READABLE &&
                 platform::recvDatagram(client.socket(), buf, sizeof buf, nullptr) == 516;
        }
        auto t1 = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("ping-pong lost a datagram");
            break;
        }
        record(state, "pingpong", std::chrono::duration<double>(t1 - t0).count());
    }
    stop = true;
    echo.join();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double best(std::vector<double> v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

void summary(const char* what, double (*pick)(std::vector<double>)) {
    double ours = pick(g_seconds["ours"]);
    double tftpd = pick(g_seconds["tftpd"]);
    double floor = pick(g_seconds["pingpong"]);
    std::printf("\n%s of %d rounds: ours %.1f ms, in.tftpd %.1f ms, ping-pong %.1f ms\n", what,
                ROUNDS, ours * 1e3, tftpd * 1e3, floor * 1e3);
    if (tftpd > 0 && floor > 0)
        std::printf("ours / in.tftpd = %.2f, ours / ping-pong = %.2f, in.tftpd / ping-pong = %.2f\n",
                    ours / tftpd, ours / floor, tftpd / floor);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Fixture fixture;
    if (!fixture.ok)
        return 1;
    for (int round = 0; round < ROUNDS; ++round) {
        benchmark::RegisterBenchmark("serve_16MiB/ours", BM_OurService)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("serve_16MiB/in.tftpd", BM_InTftpd)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("pingpong_516_4", BM_PingPong)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // The best round shows what the code costs; the median, what a busy
    // machine made of it.
    summary("best", best);
    summary("median", median);
    return 0;
}
