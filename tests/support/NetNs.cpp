#include "support/NetNs.h"

#ifdef _WIN32

namespace camtest {

bool isolateNetwork(std::string* why) {
    if (why)
        *why = "network namespaces exist on Linux only";
    return false;
}

}  // namespace camtest

#else

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace camtest {

namespace {

bool bringLoopbackUp(std::string* why) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (why) *why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    if (ok) {
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    }
    if (!ok && why)
        *why = std::string("bringing lo up: ") + std::strerror(errno);
    ::close(fd);
    return ok;
}

}  // namespace

bool isolateNetwork(std::string* why) {
    static int state = 0;  // 0 not tried, 1 isolated, -1 refused
    static std::string reason;
    if (state == 0) {
        if (::unshare(CLONE_NEWNET) != 0) {
            reason = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            state = -1;
        } else {
            state = bringLoopbackUp(&reason) ? 1 : -1;
        }
    }
    if (state < 0 && why)
        *why = reason;
    return state > 0;
}

}  // namespace camtest

#endif
