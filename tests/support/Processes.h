// Programs a test runs beside itself: peers nobody here wrote, our own
// command-line tools, and tshark to judge the traffic on lo.
#pragma once

#include <csignal>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace camtest {

// A child program (found on PATH) started in `cwd`, its standard output and
// error kept apart, its standard input an open pipe nobody writes to (as
// under a supervisor). Ended with SIGTERM when the object goes.
class ProgramRun {
public:
    explicit ProgramRun(const std::vector<std::string>& argv, const std::string& cwd = ".");
    ~ProgramRun() { stop(SIGTERM); }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool started() const { return m_pid > 0 || m_exit >= 0; }
    bool waitForOutput(const std::string& text, int timeoutMs);
    void signal(int sig);
    // Waits for the program's end; its exit code, or -1.
    int finish();
    // Signals the program and waits for its end (killed after 5 s: a test
    // never hangs on it); its exit code, or -1.
    int stop(int sig);
    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }
    std::string both() const { return m_out + m_err; }

private:
    void readBoth(int out, int err);
    int reap(int options);

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_exit = -1;
    std::mutex m_lock;
    std::string m_out, m_err;
    std::thread m_reader;
};

bool onPath(const std::string& program);
// What a shell command writes to its standard output.
std::string commandOutput(const std::string& command);

// The traffic on lo that matches a capture filter, captured to a file of its
// own (by tshark's dumpcap) for tshark to dissect. In a private network
// namespace that traffic is the test's only.
class LoopbackCapture {
public:
    // Keeps at most maxPackets; started() once the capture has begun.
    LoopbackCapture(const std::string& filter, int maxPackets);
    ~LoopbackCapture();
    LoopbackCapture(const LoopbackCapture&) = delete;
    LoopbackCapture& operator=(const LoopbackCapture&) = delete;

    bool started() const { return m_started; }
    // Ends the capture once datagrams still on their way are in.
    void stop();

    // tshark's full dissection, frame by frame, and the frames of it that
    // are not GVCP or carry a malformed or error-level mark.
    struct Verdict {
        int total = 0;
        std::string bad;
        std::string detail;
    };
    Verdict gvcpVerdict() const;

private:
    std::string m_path;
    ProgramRun m_dumpcap;
    bool m_started = false;
};

}  // namespace camtest
