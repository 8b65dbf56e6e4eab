// Base class that gives an object one thread running its virtual run().
//
// stop() only raises a flag; run() is expected to look at isStop() and
// return. The destructor raises the flag and joins, so a derived class whose
// run() never looks at the flag must end it by other means before that.
#pragma once

#include <atomic>
#include <thread>

class myThread1 {
public:
    myThread1() { m_stop.store(false); }
    virtual ~myThread1() {
        if (!isStop())
            stop();
        if (m_thread.joinable())
            m_thread.join();
    }

    myThread1(const myThread1&) = delete;
    myThread1& operator=(const myThread1&) = delete;

    virtual void run() {}

    void start() { m_thread = std::thread(&myThread1::run, this); }
    void stop() { m_stop.exchange(true); }
    bool isStop() const { return m_stop.load(); }
    void join() {
        if (m_thread.joinable())
            m_thread.join();
    }
    std::thread::id getThreadId() const { return m_thread.get_id(); }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
