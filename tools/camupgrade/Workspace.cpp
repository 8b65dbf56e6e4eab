#include "Workspace.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace cli {

LogFile::~LogFile() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

bool LogFile::open(const std::string& path, std::string* error) {
    m_file = std::fopen(path.c_str(), "w");
    if (m_file == nullptr && error != nullptr)
        *error = "cannot write the log file " + path + ": " + std::strerror(errno);
    return m_file != nullptr;
}

void LogFile::write(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_file == nullptr)
        return;
    std::fputs(line.c_str(), m_file);
    std::fputc('\n', m_file);
    std::fflush(m_file);
}

PrivateTemp::~PrivateTemp() { remove(); }

bool PrivateTemp::create(std::string* error) {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    std::random_device random;
    for (int attempt = 0; !ec && attempt < 20; ++attempt) {
        fs::path p = base / ("camupgrade-run." + std::to_string(random()));
        if (fs::create_directory(p, ec)) {
            fs::permissions(p, fs::perms::owner_all, ec);
            m_path = p.string();
            return true;
        }
    }
    if (error != nullptr)
        *error = "cannot make a working folder under the temporary folder " + base.string();
    return false;
}

void PrivateTemp::remove() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_path.empty())
        return;
    std::error_code ec;
    fs::remove_all(m_path, ec);
    m_path.clear();
}

bool PortLock::acquire(std::string* holder) {
    std::string pid;
    if (m_lock.acquire("camupgrade-port69", &pid))
        return true;  // also when no lock is to be had: the port check still speaks
    if (holder != nullptr)
        *holder = pid.empty() ? "another camupgrade" : "camupgrade process " + pid;
    return false;
}

}  // namespace cli
