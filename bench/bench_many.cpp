// One job over many cameras: the host side only, against cameras that are
// already answering in another process (bench/many.sh starts them).
//
//   bench_many N PACKAGE [--preflight]
//
// runs one job over the N cameras 127.0.0.2, 127.0.0.3, ... with the given
// package and prints one line: the job's wall time, the process's peak RSS
// and the most threads it had while the job ran (the sampling thread not
// counted), and its CPU time. Exit 0 only when every camera was upgraded, so
// a figure is never taken from a run that failed half-way.
#include "engine/Engine.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int threadsNow() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    return 0;
}

// Samples the thread count until told to stop. A sample every 5 ms catches
// every thread of a session: they live for the whole upgrade.
class ThreadPeak {
public:
    ThreadPeak() : m_thread([this] { loop(); }) {}
    ~ThreadPeak() { stop(); }
    ThreadPeak(const ThreadPeak&) = delete;
    ThreadPeak& operator=(const ThreadPeak&) = delete;
    int stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_peak - 1;  // this sampler
    }

private:
    void loop() {
        while (!m_stop) {
            int n = threadsNow();
            if (n > m_peak)
                m_peak = n;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_peak{0};
    std::thread m_thread;
};

std::string cameraAddress(unsigned index) {
    unsigned host = 2 + index;  // 127.0.0.2 upwards, across the third byte past .254
    return "127.0." + std::to_string(host / 256) + "." + std::to_string(host % 256);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: bench_many N PACKAGE [--preflight]\n");
        return 2;
    }
    const unsigned n = static_cast<unsigned>(std::atoi(argv[1]));
    // Where no logging configuration lies about; the job's lines go nowhere.
    if (chdir("/tmp") != 0)
        return 1;
    std::vector<engine::CameraTarget> targets;
    for (unsigned i = 0; i < n; ++i)
        targets.push_back({cameraAddress(i), argv[2], std::string()});
    engine::JobOptions options;
    options.hostIp = "127.0.0.1";
    options.preflight = argc > 3 && std::strcmp(argv[3], "--preflight") == 0;
    options.readIdentity = false;
    options.logging = engine::Logging::SinkOnly;
    options.inactivity = std::chrono::seconds(60);

    const int before = threadsNow();
    ThreadPeak peak;
    auto start = std::chrono::steady_clock::now();
    std::vector<engine::CameraResult> results = engine::runJob(targets, options);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    int threads = peak.stop();

    unsigned upgraded = 0;
    for (const engine::CameraResult& r : results) {
        if (r.verdict == engine::Verdict::Upgraded)
            ++upgraded;
        else
            std::fprintf(stderr, "%s: %s (state %d)\n", r.cameraIp.c_str(), r.message.c_str(), r.state);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    std::printf("cameras %u upgraded %u wall_ms %.1f peak_rss_kib %ld threads_before %d peak_threads %d"
                " user_s %.2f sys_s %.2f\n",
                n, upgraded, ms, usage.ru_maxrss, before, threads, seconds(usage.ru_utime),
                seconds(usage.ru_stime));
    return upgraded == n ? 0 : 1;
}
