#include "Workspace.h"

#include "platform/socket.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#ifdef _WIN32
#include <cstdlib>
#else
#include <fcntl.h>
#include <sys/file.h>
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
#ifdef _WIN32
            _putenv_s("TMP", m_path.c_str());
            _putenv_s("TEMP", m_path.c_str());
#else
            setenv("TMPDIR", m_path.c_str(), 1);
#endif
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

PortLock::~PortLock() {
#ifndef _WIN32
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

#ifdef _WIN32
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

}  // namespace

bool PortLock::acquire(std::string* holder) {
    std::string path = lockPath();
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        return true;  // no lock to be had: the port check still speaks
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
        std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(m_fd, 0) != 0 || ::write(m_fd, pid.data(), pid.size()) < 0) {
            // the pid is only a courtesy to the next one who finds the lock held
        }
        return true;
    }
    char text[32] = {0};
    ssize_t n = ::pread(m_fd, text, sizeof text - 1, 0);
    std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
        pid.pop_back();
    if (holder != nullptr)
        *holder = pid.empty() ? "another camupgrade" : "camupgrade process " + pid;
    ::close(m_fd);
    m_fd = -1;
    return false;
}
#endif

std::string portProblem() {
    platform::socket_t s = platform::udpSocket();
    if (s == platform::INVALID_SOCK)
        return "cannot create a UDP socket";
    sockaddr_in any = platform::makeAddr("0.0.0.0", 69);
    int rc = ::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    int err = platform::lastSocketError();
    platform::closeSocket(s);
    if (rc == 0)
        return std::string();
    if (platform::isPermissionError(err))
        return "UDP port 69 (the firmware file service) needs privilege: run as root, give the "
               "program CAP_NET_BIND_SERVICE (setcap cap_net_bind_service=ep camupgrade), or "
               "lower net.ipv4.ip_unprivileged_port_start to 69";
    if (platform::isAddressInUse(err))
        return "UDP port 69 is in use by another program on this host (a TFTP server?): the "
               "cameras fetch their firmware from it, so it must be free during the upgrade";
    return "UDP port 69 cannot be bound (error " + std::to_string(err) + ")";
}

}  // namespace cli
