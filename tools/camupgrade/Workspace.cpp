#include "Workspace.h"

#include "platform/socket.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

PortLock::~PortLock() { release(); }

#ifdef _WIN32
void PortLock::release() {}
bool PortLock::acquire(std::string*) { return true; }  // the port check says it there
#else
namespace {

// "/run/lock/camupgrade-port69.<network namespace>.lock", or under the
// temporary folder where /run/lock is not ours to write.
std::string lockPath() {
    std::error_code ec;
    std::string ns = fs::read_symlink("/proc/self/ns/net", ec).string();
    std::string id;
    for (char c : ns)
        if (c >= '0' && c <= '9')
            id += c;
    std::string name = "camupgrade-port69." + (id.empty() ? std::string("host") : id) + ".lock";
    if (::access("/run/lock", W_OK) == 0)
        return "/run/lock/" + name;
    return (fs::temp_directory_path(ec) / name).string();
}

std::string holderOf(int fd) {
    char text[32] = {0};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
        pid.pop_back();
    return pid.empty() ? "another camupgrade" : "camupgrade process " + pid;
}

// The file at path is still the one open on fd (its last holder removes it
// when it lets go, and a newcomer may have made a new one since).
bool stillThere(int fd, const std::string& path) {
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_ino == named.st_ino && open.st_dev == named.st_dev;
}

}  // namespace

// The file goes with the lock, so a namespace of a test leaves nothing behind.
void PortLock::release() {
    if (m_fd < 0)
        return;
    ::unlink(m_path.c_str());
    ::close(m_fd);
    m_fd = -1;
}

bool PortLock::acquire(std::string* holder) {
    std::string path = lockPath();
    for (int attempt = 0; attempt < 5; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return true;  // no lock to be had: the port check still speaks
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (holder != nullptr)
                *holder = holderOf(fd);
            ::close(fd);
            return false;
        }
        if (!stillThere(fd, path)) {
            ::close(fd);
            continue;
        }
        std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) != 0 || ::write(fd, pid.data(), pid.size()) < 0) {
            // the pid is only a courtesy to the next one who finds the lock held
        }
        m_fd = fd;
        m_path = path;
        return true;
    }
    return true;
}
#endif

}  // namespace cli
