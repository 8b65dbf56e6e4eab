// myThread1's life cycle: never started, run to its end, stopped from outside.
#include "myThread1.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class Looper : public myThread1 {
public:
    ~Looper() override {
        stop();
        join();
    }
    void run() override {
        while (!isStop()) {
            ++loops;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::atomic<int> loops{0};
};

}  // namespace

TEST(MyThread1, LifeCycle) {
    // Never started, or the base run: nothing to wait for.
    auto start = std::chrono::steady_clock::now();
    {
        myThread1 idle;
        EXPECT_FALSE(idle.isStop());
        myThread1 t;
        t.start();
        t.join();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    Looper t;
    t.start();
    while (t.loops < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    t.stop();
    EXPECT_TRUE(t.isStop());
    t.join();
    int loops = t.loops;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.loops, loops) << "run() returned";

    // Destroyed while running: its destructor ends and joins the thread.
    auto running = std::make_unique<Looper>();
    running->start();
    running.reset();
}
