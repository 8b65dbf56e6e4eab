// The UDP endpoint: binding, datagram sizes and the life of its receive
// thread. The dispatcher is the owner here; with no session registered,
// every datagram it is handed shows up as one "not deal" line.
#include "support/LogCapture.h"
#include "support/NetNs.h"
#include "support/ProcessCounts.h"
#include "support/TftpPeer.h"
#include "support/Wait.h"
#include "upgrade/UdpSock.h"
#include "upgrade/UpdgradeManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

using camtest::Bytes;
using camtest::UdpPeer;

namespace {

TEST(UdpSocket, FixedPortTakenIsOneAttemptAndKeepsTheSocket) {
    CUdpSocket sock(CUdpSocket::Owner::Manager, {});
    camtest::LogCapture log;
    auto blocker = std::make_unique<UdpPeer>("127.0.3.130");
    sockaddr_in local = platform::makeAddr("127.0.3.130", blocker->port());

    EXPECT_FALSE(sock.startUdpServer(&local));
    EXPECT_EQ(log.count("CTftpSocket_New::openSocket : udp bind failed!\n"), 1u);
    EXPECT_EQ(log.count("bind failed,info"), 0u);
    EXPECT_EQ(log.count("needs privilege"), 0u);

    // The socket stayed open and takes the port once it is free.
    blocker.reset();
    EXPECT_TRUE(sock.startUdpServer(&local));
    EXPECT_EQ(sock.localPort(), ntohs(local.sin_port));
}

// Without the privilege to bind low ports, the log names the remedies.
TEST(UdpSocket, PrivilegedPortRefusalNamesTheRemedies) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();  // a fresh namespace keeps ports below 1024 privileged
#ifndef _WIN32
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        camtest::LogCapture log;
        updgradeManager owner;
        bool started = owner.startServer("", true);
        bool named = log.count("binding UDP port 69 needs privilege: run as root, grant "
                               "CAP_NET_BIND_SERVICE, or set "
                               "net.ipv4.ip_unprivileged_port_start to 69 or below\n") == 1;
        ::_exit(!started && named && !owner.isRunning() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
