// One whole upgrade, taken apart in time, and the host's peak memory.
//
//   bench_job timing [MiB]     in-process camera with zero flash and restart
//                              times: transfer, camera and job overhead
//   bench_job memory PACKAGE   only the host side, against a camera already
//                              answering on 127.0.0.2; prints its peak RSS
//
// bench/job.sh runs both (the memory runs for a 16 and a 256 MiB image).
#include "main.h"
#include "session/SessionStates.h"
#include "support/NetNs.h"

#include "camsim/Camera.h"
#include "camsim/Package.h"

#include <log4cpp/Category.hh>
#include <log4cpp/LayoutAppender.hh>
#include <log4cpp/PatternLayout.hh>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::system_clock;
using Ms = std::chrono::duration<double, std::milli>;

// Notes when the worker logs the verdict.
class VerdictWatch : public log4cpp::LayoutAppender {
public:
    VerdictWatch() : log4cpp::LayoutAppender("verdict-watch") {}
    void close() override {}
    Clock::time_point at() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_at;
    }

protected:
    void _append(const log4cpp::LoggingEvent& event) override {
        if (event.message.find("] Upgrade success...") == std::string::npos)
            return;
        std::lock_guard<std::mutex> g(m_lock);
        if (m_at == Clock::time_point())
            m_at = Clock::now();
    }

private:
    std::mutex m_lock;
    Clock::time_point m_at;
};

struct CameraTimes {
    std::mutex lock;
    Clock::time_point firstRequest, imageFetched, finalReport;
};

int timing(std::size_t mib) {
    std::string why;
    if (!camtest::isolateNetwork(&why)) {
        std::fprintf(stderr, "needs a private network namespace (root): %s\n", why.c_str());
        return 1;
    }
    char dir[] = "/tmp/bench_job.XXXXXX";
    // Run where no logging configuration lies about (one would replace our
    // appender).
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0)
        return 1;
    std::string image = std::string(dir) + "/app.bin", pkg = std::string(dir) + "/fw.zip";
    {
        std::ofstream out(image, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < mib; ++i) {
            block[i % block.size()] = static_cast<char>(i);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    camsim::PackageSpec spec;
    spec.images = {image};
    std::string error;
    if (!camsim::makePackage(spec, pkg, &error)) {
        std::fprintf(stderr, "package: %s\n", error.c_str());
        return 1;
    }

    camsim::Config c = camsim::instantCamera("127.0.0.2");
    c.eventLevel = 1;  // the camera's report times are measured
    c.maxImageBytes = (mib + 1) << 20;
    camsim::Camera camera(c);
    CameraTimes times;
    camera.setEventHandler([&times](const camsim::Event& e) {
        std::lock_guard<std::mutex> g(times.lock);
        if (e.text.rfind("requesting ", 0) == 0 && times.firstRequest == Clock::time_point())
            times.firstRequest = e.time;
        if (e.text.rfind("fetched app.bin", 0) == 0)
            times.imageFetched = e.time;
        if (e.text.rfind("status 0 ", 0) == 0)
            times.finalReport = e.time;
    });
    if (!camera.start(&error)) {
        std::fprintf(stderr, "camera: %s\n", error.c_str());
        return 1;
    }
    auto* watch = new VerdictWatch();
    watch->setLayout(new log4cpp::PatternLayout());
    log4cpp::Category::getInstance("camclient").addAppender(watch);

    // Quiet console: the figures are what matters here.
    std::FILE* keep = std::freopen("/dev/null", "w", stdout);
    (void)keep;
    Clock::time_point start = Clock::now();
    int rc = ::CamUpgrade("127.0.0.1", "127.0.0.2", pkg.c_str());
    Clock::time_point end = Clock::now();
    camera.stop();
    std::FILE* tty = std::fopen("/dev/tty", "w");
    std::FILE* out = tty != nullptr ? tty : stderr;

    std::lock_guard<std::mutex> g(times.lock);
    std::fprintf(out, "image %zu MiB, result %d, final state %d\n", mib, rc, g_upgradeStatus.load());
    std::fprintf(out, "  job start -> first file request   %8.1f ms\n", Ms(times.firstRequest - start).count());
    std::fprintf(out, "  transfer (request -> image in)    %8.1f ms\n", Ms(times.imageFetched - times.firstRequest).count());
    std::fprintf(out, "  camera (image in -> final report) %8.1f ms\n", Ms(times.finalReport - times.imageFetched).count());
    std::fprintf(out, "  final report -> CamUpgrade return %8.1f ms   (goal <= 2700)\n", Ms(end - times.finalReport).count());
    std::fprintf(out, "  verdict logged -> return          %8.1f ms   (goal <= 150)\n", Ms(end - watch->at()).count());
    std::fprintf(out, "  whole job                         %8.1f ms\n", Ms(end - start).count());
    if (tty != nullptr)
        std::fclose(tty);
    std::string cleanup = std::string("rm -rf ") + dir;
    return std::system(cleanup.c_str()) == 0 && rc == 1 ? 0 : 1;
}

int memory(const char* pkg) {
    if (chdir("/tmp") != 0)
        return 1;
    std::FILE* keep = std::freopen("/dev/null", "w", stdout);
    (void)keep;
    int rc = ::CamUpgrade("127.0.0.1", "127.0.0.2", pkg);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "%s: result %d, final state %d, peak RSS %ld KiB\n", pkg, rc,
                 g_upgradeStatus.load(), usage.ru_maxrss);
    return rc == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "timing";
    if (mode == "timing")
        return timing(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16);
    if (mode == "memory" && argc > 2)
        return memory(argv[2]);
    std::fprintf(stderr, "usage: bench_job timing [MiB] | bench_job memory PACKAGE\n");
    return 2;
}
