#include "platform/processlock.h"

#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

// "/run/lock/<name>.<network namespace>.lock", or under the temporary folder
// where /run/lock is not ours to write.
std::string lockPath(const std::string& stem) {
    std::error_code ec;
    std::string ns = fs::read_symlink("/proc/self/ns/net", ec).string();
    std::string id;
    for (char c : ns)
        if (c >= '0' && c <= '9')
            id += c;
    std::string name = stem + "." + (id.empty() ? std::string("host") : id) + ".lock";
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
    return pid;
}

// The file at path is still the one open on fd (its last holder removes it
// when it lets go, and a newcomer may have made a new one since).
bool stillThere(int fd, const std::string& path) {
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_ino == named.st_ino && open.st_dev == named.st_dev;
}

}  // namespace

ProcessLock::~ProcessLock() { release(); }

void ProcessLock::release() {
    if (m_fd < 0)
        return;
    ::unlink(m_path.c_str());
    ::close(m_fd);
    m_fd = -1;
}

bool ProcessLock::acquire(const std::string& name, std::string* holderPid) {
    std::string path = lockPath(name);
    for (int attempt = 0; attempt < 5; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return true;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (holderPid != nullptr)
                *holderPid = holderOf(fd);
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

}  // namespace platform
