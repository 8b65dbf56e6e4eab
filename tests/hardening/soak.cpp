// Many upgrades in one process against one simulated camera: every job must
// succeed and leave the process as it found it — no thread, descriptor or
// unpack folder more, and no growth of resident memory once the first jobs
// have settled what is made lazily (logging, allocator pools).
//
//   soak [--jobs N] [--image BYTES] [--rss-slack-kib K]
//
// Leaks are the sanitizer's or valgrind's to report when the process ends.
#include "UpgradeRig.h"

#include "support/NetNs.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace std::chrono_literals;

int main(int argc, char** argv) {
    int jobs = 100;
    std::size_t image = 256 * 1024;
    std::size_t rssSlackKiB = 4096;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--jobs" && i + 1 < argc)
            jobs = std::atoi(argv[++i]);
        else if (a == "--image" && i + 1 < argc)
            image = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--rss-slack-kib" && i + 1 < argc)
            rssSlackKiB = std::strtoul(argv[++i], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: %s [--jobs N] [--image BYTES] [--rss-slack-kib K]\n", argv[0]);
            return 2;
        }
    }
    std::string why;
    if (!camtest::isolateNetwork(&why)) {
        std::fprintf(stderr, "soak needs a private network namespace (root): %s\n", why.c_str());
        return 2;
    }

    int failures = 0;
    {
        camhard::Scratch scratch;
        // As a host that ships the sample configuration: every job loads it.
        scratch.enter(true);
        std::string package = scratch.package(image);
        camsim::Camera camera(camsim::instantCamera(camhard::CAMERA_IP));
        if (!camera.start(&why)) {
            std::fprintf(stderr, "camera: %s\n", why.c_str());
            return 2;
        }

        // The first job settles what is made once; the second half of the
        // run is compared with the middle, after allocator pools have grown.
        camhard::Resources base{};
        std::size_t rssMiddle = 0;
        long long totalMs = 0;
        for (int i = 1; i <= jobs; ++i) {
            camhard::JobResult r = camhard::runJob(package, 60s);
            totalMs += r.took.count();
            camhard::Resources now = camhard::Resources::now();
            if (i == 1)
                base = now;
            if (i == jobs / 2 || jobs == 1)
                rssMiddle = now.rssKiB;
            std::string problem;
            if (r.returned != 1 || r.state != 0)
                problem = "job returned " + std::to_string(r.returned) + " with state " + std::to_string(r.state);
            else if (now.threads != base.threads)
                problem = "threads " + std::to_string(base.threads) + " -> " + std::to_string(now.threads);
            else if (now.fds != base.fds)
                problem = "fds " + std::to_string(base.fds) + " -> " + std::to_string(now.fds);
            else if (scratch.unpackFolderLeft())
                problem = "an unpack folder is left";
            if (!problem.empty()) {
                ++failures;
                std::fprintf(stderr, "job %d: %s\n", i, problem.c_str());
            }
            if (i == 1 || i % 10 == 0 || i == jobs)
                std::fprintf(stderr, "job %3d: %5lld ms, threads %zu, fds %zu, rss %zu KiB\n", i,
                             static_cast<long long>(r.took.count()), now.threads, now.fds, now.rssKiB);
        }
        camhard::Resources end = camhard::Resources::now();
        long long growth = static_cast<long long>(end.rssKiB) - static_cast<long long>(rssMiddle);
        std::fprintf(stderr,
                     "soak: %d jobs of a %zu-byte image, %d failed, mean %lld ms per job; "
                     "threads %zu, fds %zu; rss %zu KiB after job 1, %zu at half-time, %zu at the end "
                     "(%+lld KiB in the second half, %zu allowed)\n",
                     jobs, image, failures, totalMs / (jobs > 0 ? jobs : 1), end.threads, end.fds,
                     base.rssKiB, rssMiddle, end.rssKiB, growth, rssSlackKiB);
        if (jobs >= 10 && growth > static_cast<long long>(rssSlackKiB)) {
            std::fprintf(stderr, "resident memory grows\n");
            ++failures;
        }
        camera.stop();
    }
    return failures == 0 ? 0 : 1;
}
