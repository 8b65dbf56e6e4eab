#include "myThread1.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class Looper : public myThread1 {
public:
    ~Looper() override { join(); }
    void run() override {
        while (!isStop()) {
            ++loops;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        finished = true;
    }
    std::atomic<int> loops{0};
    std::atomic<bool> finished{false};
};

class OneShot : public myThread1 {
public:
    ~OneShot() override { join(); }
    void run() override { ran = true; }
    std::atomic<bool> ran{false};
};

using Clock = std::chrono::steady_clock;

}  // namespace

TEST(MyThread1, NeverStartedDestroysAtOnce) {
    auto start = Clock::now();
    { myThread1 t; EXPECT_FALSE(t.isStop()); }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
}

TEST(MyThread1, BaseRunEndsAndIsJoined) {
    myThread1 t;
    t.start();
    t.join();
    EXPECT_FALSE(t.isStop());
}

TEST(MyThread1, DerivedRunIsTheOneThatRuns) {
    OneShot t;
    t.start();
    t.join();
    EXPECT_TRUE(t.ran);
}

TEST(MyThread1, StopEndsLoopAtNextCheck) {
    Looper t;
    t.start();
    while (t.loops < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    t.stop();
    EXPECT_TRUE(t.isStop());
    t.join();
    EXPECT_TRUE(t.finished);
}

TEST(MyThread1, DestructorStopsAndJoins) {
    std::atomic<bool>* finished = nullptr;
    auto* t = new Looper();
    finished = &t->finished;
    t->start();
    t->stop();
    t->join();
    EXPECT_TRUE(*finished);
    delete t;
}
