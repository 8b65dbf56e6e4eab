// Test programs start here: where the process may, it moves into a network
// namespace of its own first, so that fixed ports (3956 on a loopback
// address, 69) are never taken by something else on the machine and parallel
// tests never meet. Without the privilege the tests run on the host's
// loopback, each file in its own 127.x range.
#include "support/NetNs.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    camtest::isolateNetwork();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
