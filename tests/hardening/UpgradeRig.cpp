#include "UpgradeRig.h"

#include "main.h"
#include "camsim/Package.h"
#include "main.h"
#include "support/ProcessCounts.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace camhard {

Scratch::Scratch() {
    char pattern[] = "/tmp/camhard.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    useTmp(m_path + "/tmp");
}

Scratch::~Scratch() {
    std::error_code ec;
    if (::chdir("/") != 0)
        std::perror("chdir");
    fs::remove_all(m_path, ec);
}

void Scratch::useTmp(const std::string& dir) {
    m_tmp = dir;
    fs::create_directories(dir);
    ::setenv("TMPDIR", dir.c_str(), 1);
}

std::string Scratch::package(std::size_t imageBytes) {
    std::string image = m_path + "/app.bin";
    {
        std::ofstream out(image, std::ios::binary);
        std::uint32_t x = static_cast<std::uint32_t>(imageBytes) * 2654435761u + 1;
        for (std::size_t i = 0; i < imageBytes; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            out.put(static_cast<char>(x));
        }
    }
    camsim::PackageSpec spec;
    spec.images = {image};
    std::string path = m_path + "/fw.zip";
    std::string error;
    if (!camsim::makePackage(spec, path, &error))
        throw std::runtime_error("package: " + error);
    return path;
}

void Scratch::enter(bool withLogConfig) {
    if (::chdir(m_path.c_str()) != 0)
        throw std::runtime_error("chdir to the scratch folder failed");
    if (withLogConfig)
        fs::copy_file(fs::path(CAMUPGRADE_SOURCE_DIR) / "SDKLOG_default.properties",
                      fs::path(m_path) / "SDKLOG_default.properties");
}

std::string Scratch::garbagePackage() {
    std::string path = m_path + "/broken.zip";
    std::ofstream out(path, std::ios::binary);
    out << "PK\x03\x04 but nothing of an archive after it";
    return path;
}

bool Scratch::unpackFolderLeft() const {
    std::error_code ec;
    fs::path quarnel = fs::path(m_tmp) / "Quarnel.tmp";
    return fs::exists(quarnel, ec) && !fs::is_empty(quarnel, ec);
}

Resources Resources::now() {
    Resources r;
    r.threads = camtest::threadCount();
    r.fds = camtest::openFdCount();
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            r.rssKiB = std::strtoul(line.c_str() + 6, nullptr, 10);
    return r;
}

JobResult runJob(const std::string& package, std::chrono::milliseconds deadline) {
    g_upgradeStatus.store(-1);  // so that a job that publishes nothing shows
    camjob::JobOptions options;
    options.deadline = deadline;
    auto start = std::chrono::steady_clock::now();
    JobResult r;
    r.returned = camjob::runUpgradeJob(HOST_IP, CAMERA_IP, package.c_str(), options);
    r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    r.state = g_upgradeStatus.load();
    return r;
}

}  // namespace camhard
