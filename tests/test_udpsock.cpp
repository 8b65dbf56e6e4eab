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

const std::string NOT_DEALT = "file request msg not deal, ip:";

TEST(UdpSocket, FixedPortTakenIsOneAttemptAndKeepsTheSocket) {
    updgradeManager owner;
    CUdpSocket sock(&owner);
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

TEST(UdpSocket, DeliversUpTo512BytesAndDropsLonger) {
    updgradeManager owner;
    CUdpSocket sock(&owner);
    sockaddr_in local = platform::makeAddr("127.0.3.131", 0);
    camtest::LogCapture log;
    ASSERT_TRUE(sock.startUdpServer(&local));
    EXPECT_EQ(log.count("udp bind sucessed!<127.0.3.131, 0>,errCode:"), 1u);
    local.sin_port = htons(sock.localPort());

    UdpPeer peer("127.0.3.132");
    for (std::size_t size : {600u, 513u, 0u, 512u, 1u}) {
        peer.send(Bytes(size, 1), local);
    }
    // In order: once the last one is in, all before it have been handled.
    camtest::waitUntil([&] { return log.count(NOT_DEALT) >= 2; }, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(log.count(NOT_DEALT + "127.0.3.132\n"), 2u);
}

TEST(UdpSocket, ResetThenStartGivesNewPortAndOneThread) {
    // A sanitizer may start a helper thread with the first thread created.
    std::thread([] {}).join();
    const std::size_t idle = camtest::threadCount();
    {
        updgradeManager owner;
        CUdpSocket sock(&owner);
        sockaddr_in local = platform::makeAddr("127.0.3.133", 0);
        ASSERT_TRUE(sock.startUdpServer(&local));
        EXPECT_TRUE(sock.startUdpServer(&local));  // already started: nothing changes
        const std::uint16_t first = sock.localPort();
        EXPECT_EQ(camtest::threadCount(), idle + 1);

        camtest::LogCapture log;
        sock.resetUdpStatus();
        EXPECT_EQ(log.count("reset udp status upgrade manager...\n"), 1u);
        EXPECT_EQ(camtest::threadCount(), idle);
        EXPECT_EQ(sock.localPort(), 0);

        ASSERT_TRUE(sock.startUdpServer(&local));
        EXPECT_NE(sock.localPort(), first);
        EXPECT_EQ(camtest::threadCount(), idle + 1);

        // The new thread still delivers.
        local.sin_port = htons(sock.localPort());
        UdpPeer peer("127.0.3.134");
        peer.send(Bytes{0, 1, 'x', 0}, local);
        EXPECT_TRUE(camtest::waitUntil(
            [&] { return log.count(NOT_DEALT + "127.0.3.134\n") > 0; }, 2000));
    }
    EXPECT_EQ(camtest::threadCount(), idle);
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
