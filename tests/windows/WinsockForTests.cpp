// Linked into every test program of the Windows build: Winsock refuses every
// socket call until WSAStartup, which the library itself makes only inside
// CamUpgrade, while the tests drive sockets directly.
#include "platform/socket.h"

namespace {

struct Winsock {
    Winsock() { platform::netStartup(); }
    ~Winsock() { platform::netCleanup(); }
};

const Winsock g_winsock;

}  // namespace
