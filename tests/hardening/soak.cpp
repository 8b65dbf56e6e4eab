// Many upgrades in one process, as a host application runs them, against one
// simulated camera: every job must succeed in the camera's eyes and leave the
// process as it found it — no thread, descriptor or unpack folder more, and
// no growth of resident memory once the first half of the run has settled
// what is made lazily (logging, allocator pools). Leaks are the sanitizer's
// or valgrind's to report when the process ends.
//
//   soak [--jobs N] [--image BYTES] [--rss-slack-kib K]
#include "camupgrade.h"
#include "camsim/Camera.h"
#include "camsim/Package.h"
#include "support/NetNs.h"
#include "support/ProcessCounts.h"
#include "support/TftpPeer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Counts {
    std::size_t threads, fds, rssKiB;
};

Counts countNow() {
    Counts c{camtest::threadCount(), camtest::openFdCount(), 0};
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            c.rssKiB = std::strtoul(line.c_str() + 6, nullptr, 10);
    return c;
}

// The package and the temporary folder in a scratch folder that is also the
// current one: a host that ships the sample logging configuration, which
// every job loads.
std::string prepare(const fs::path& dir, std::size_t imageBytes) {
    fs::create_directories(dir / "tmp");
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    fs::current_path(dir);
    fs::copy_file(fs::path(CAMUPGRADE_SOURCE_DIR) / "SDKLOG_default.properties", dir / "SDKLOG_default.properties");
    camtest::writeBytes(dir / "app.bin", camtest::fileBytes(imageBytes, 1));
    camsim::PackageSpec spec;
    spec.images = {(dir / "app.bin").string()};
    std::string error;
    if (!camsim::makePackage(spec, (dir / "fw.zip").string(), &error))
        return "";
    return (dir / "fw.zip").string();
}

// What is wrong after job `n`, in the camera's eyes and this process's.
std::string problemAfter(unsigned n, int returned, const camsim::Snapshot& s, const Counts& now,
                         const Counts& first, const fs::path& tmp) {
    bool verified = !s.files.empty();
    for (const camsim::FetchedFile& f : s.files)
        verified = verified && f.verified;
    std::error_code ec;
    if (returned != 1 || s.state != 0 || s.upgradeCommands != n || !verified)
        return "job returned " + std::to_string(returned) + ", camera state " + std::to_string(s.state) +
               " after " + std::to_string(s.upgradeCommands) + " commands";
    if (now.threads != first.threads)
        return "threads " + std::to_string(first.threads) + " -> " + std::to_string(now.threads);
    if (now.fds != first.fds)
        return "fds " + std::to_string(first.fds) + " -> " + std::to_string(now.fds);
    if (fs::exists(tmp / "Quarnel.tmp") && !fs::is_empty(tmp / "Quarnel.tmp", ec))
        return "an unpack folder is left";
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    unsigned jobs = 100;
    std::size_t image = 256 * 1024;
    long long rssSlackKiB = 4096;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--jobs")
            jobs = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else if (a == "--image")
            image = std::strtoul(argv[i + 1], nullptr, 10);
        else if (a == "--rss-slack-kib")
            rssSlackKiB = std::atoll(argv[i + 1]);
        else
            jobs = 0;
    }
    if (argc % 2 == 0 || jobs == 0) {
        std::fprintf(stderr, "usage: %s [--jobs N] [--image BYTES] [--rss-slack-kib K]\n", argv[0]);
        return 2;
    }
    std::string why;
    if (!camtest::isolateNetwork(&why)) {
        std::fprintf(stderr, "soak needs a private network namespace (root): %s\n", why.c_str());
        return 2;
    }
    char pattern[] = "/tmp/soak.XXXXXX";
    fs::path dir = ::mkdtemp(pattern) ? pattern : "";
    std::string package = dir.empty() ? "" : prepare(dir, image);
    camsim::Camera camera(camsim::instantCamera("127.0.0.2"));
    if (package.empty() || !camera.start(&why)) {
        std::fprintf(stderr, "set-up failed: %s\n", why.c_str());
        return 2;
    }

    unsigned failures = 0;
    Counts first{}, now{};
    std::size_t rssMiddle = 0;
    auto start = std::chrono::steady_clock::now();
    for (unsigned n = 1; n <= jobs; ++n) {
        int returned = CamUpgrade("127.0.0.1", "127.0.0.2", package.c_str());
        now = countNow();
        if (n == 1)
            first = now;
        if (n == (jobs + 1) / 2)
            rssMiddle = now.rssKiB;
        std::string problem = problemAfter(n, returned, camera.snapshot(), now, first, dir / "tmp");
        if (!problem.empty()) {
            ++failures;
            std::fprintf(stderr, "job %u: %s\n", n, problem.c_str());
        }
        if (n == 1 || n % 10 == 0 || n == jobs)
            std::fprintf(stderr, "job %3u: threads %zu, fds %zu, rss %zu KiB\n", n, now.threads, now.fds, now.rssKiB);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long long growth = static_cast<long long>(now.rssKiB) - static_cast<long long>(rssMiddle);
    std::fprintf(stderr,
                 "soak: %u jobs of a %zu-byte image, %u failed, %.2f s per job; rss %zu KiB after job 1, "
                 "%zu at half-time, %zu at the end (%+lld KiB in the second half, %lld allowed)\n",
                 jobs, image, failures, seconds / jobs, first.rssKiB, rssMiddle, now.rssKiB, growth, rssSlackKiB);
    if (jobs >= 10 && growth > rssSlackKiB) {
        std::fprintf(stderr, "resident memory grows\n");
        ++failures;
    }
    camera.stop();
    fs::current_path("/");
    std::error_code ec;
    fs::remove_all(dir, ec);
    return failures == 0 ? 0 : 1;
}
