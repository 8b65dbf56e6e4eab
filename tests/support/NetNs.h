// Puts the calling test process into a network namespace of its own with
// only its loopback up, so a test can bind fixed ports (3956 on any
// 127.x address, 69 on 0.0.0.0) and shape traffic without touching the
// machine or the tests running beside it.
#pragma once

#include <string>

namespace camtest {

// True when the process now has a private network. Call before starting any
// thread. Needs root (or CAP_SYS_ADMIN); returns false otherwise, with the
// reason in *why.
bool isolateNetwork(std::string* why = nullptr);

// Isolates the network or skips the current test with the reason.
#define CAMTEST_REQUIRE_PRIVATE_NETWORK()                                      \
    do {                                                                       \
        std::string why_;                                                      \
        if (!::camtest::isolateNetwork(&why_))                                 \
            GTEST_SKIP() << "needs a private network namespace: " << why_;    \
    } while (0)

}  // namespace camtest
