// POSIX only: the tests that start programs are not built for Windows.
#ifndef _WIN32
#include "support/Processes.h"

#include "support/Wait.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace camtest {

ProgramRun::ProgramRun(const std::vector<std::string>& argv, const std::string& cwd) {
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0)
        return;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]})
            close(fd);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (chdir(cwd.c_str()) == 0)
            execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    m_stdin = in[1];
    m_reader = std::thread([this, o = out[0], e = err[0]] { readBoth(o, e); });
}

bool ProgramRun::waitForOutput(const std::string& text, int timeoutMs) {
    return waitUntil([&] {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_out.find(text) != std::string::npos || m_err.find(text) != std::string::npos;
    }, timeoutMs);
}

void ProgramRun::signal(int sig) { ::kill(m_pid, sig); }

int ProgramRun::reap(int options) {
    int status = 0;
    if (m_pid <= 0 || waitpid(m_pid, &status, options) != m_pid)
        return m_pid;
    m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_pid = -1;
    close(m_stdin);
    return m_pid;
}

int ProgramRun::finish() {
    if (m_reader.joinable())
        m_reader.join();
    reap(0);
    return m_exit;
}

int ProgramRun::stop(int sig) {
    if (m_pid > 0)
        ::kill(m_pid, sig);
    for (int i = 0; i < 500 && reap(WNOHANG) > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
    return finish();
}

void ProgramRun::readBoth(int out, int err) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int open = 2;
    char buf[4096];
    while (open > 0 && poll(fds, 2, 60000) > 0) {
        for (auto& fd : fds) {
            if (fd.fd < 0 || fd.revents == 0)
                continue;
            ssize_t n = read(fd.fd, buf, sizeof buf);
            if (n <= 0) {
                close(fd.fd);
                fd.fd = -1;
                --open;
                continue;
            }
            std::lock_guard<std::mutex> guard(m_lock);
            (fd.fd == out ? m_out : m_err).append(buf, static_cast<std::size_t>(n));
        }
    }
}

std::string commandOutput(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

bool onPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

LoopbackCapture::LoopbackCapture(const std::string& filter, int maxPackets)
    : m_path((std::filesystem::temp_directory_path() /
              ("camtest-" + std::to_string(::getpid()) + ".pcapng")).string()),
      m_dumpcap({"dumpcap", "-q", "-i", "lo", "-f", filter, "-c", std::to_string(maxPackets), "-w", m_path}) {
    // The file header is written once it captures.
    for (int i = 0; i < 200 && m_dumpcap.started() && !m_started; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::error_code ec;
        m_started = std::filesystem::file_size(m_path, ec) > 0 && !ec;
    }
}

LoopbackCapture::~LoopbackCapture() {
    m_dumpcap.stop(SIGINT);
    std::error_code ec;
    std::filesystem::remove(m_path, ec);
}

void LoopbackCapture::stop() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m_dumpcap.stop(SIGINT);
}

LoopbackCapture::Verdict LoopbackCapture::gvcpVerdict() const {
    Verdict v;
    v.detail = commandOutput("tshark -n -r " + m_path + " 2>/dev/null -V");
    for (std::size_t at = v.detail.find("Frame "); at != std::string::npos;) {
        std::size_t next = v.detail.find("\nFrame ", at);
        std::string frame = v.detail.substr(at, next == std::string::npos ? next : next - at);
        ++v.total;
        if (frame.find("\nGigE Vision Control Protocol") == std::string::npos ||
            frame.find("Malformed") != std::string::npos || frame.find("Expert Info (Error") != std::string::npos)
            v.bad += frame;
        at = next == std::string::npos ? next : next + 1;
    }
    return v;
}

}  // namespace camtest

#endif  // _WIN32
