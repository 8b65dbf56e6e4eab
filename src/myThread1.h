// Base class that gives an object one thread running its virtual run().
//
// stop() only raises a flag; run() is expected to look at isStop() and
// return. A subclass must call stopAndJoin() in its own destructor, before
// its members go: run() uses them, and by the time this base's destructor
// runs they are destroyed and run() is no longer the subclass's. A run()
// that waits on something besides the flag must be woken first.
#pragma once

#include <atomic>
#include <thread>

class myThread1 {
public:
    myThread1() { m_stop.store(false); }
    // Finds nothing left to join when the subclass did its part.
    virtual ~myThread1() { stopAndJoin(); }

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
    void stopAndJoin() {
        stop();
        join();
    }
    std::thread::id getThreadId() const { return m_thread.get_id(); }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
