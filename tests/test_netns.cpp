#include "support/NetNs.h"

#include "platform/socket.h"

#include <gtest/gtest.h>

// A private namespace lets a test own port 69 and 3956 on any loopback address.
TEST(PrivateNetwork, FixedPortsAreFree) {
    CAMTEST_REQUIRE_PRIVATE_NETWORK();
    platform::socket_t s = platform::udpSocket();
    sockaddr_in addr = platform::makeAddr("0.0.0.0", 69);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    platform::closeSocket(s);
}
