// Waiting for something another thread or process brings about.
#pragma once

#include <chrono>
#include <thread>

namespace camtest {

// Polls every 10 ms; false when done() still fails after timeoutMs.
template <typename Done>
bool waitUntil(Done done, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace camtest
