#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace platform {

namespace {
#ifndef _WIN32
const char* ansiFor(std::uint16_t attr) {
    switch (attr) {
    case CONSOLE_BRIGHT_RED: return "\033[1;31m";
    case CONSOLE_BRIGHT_GREEN: return "\033[1;32m";
    default: return "\033[0m";
    }
}
#endif
}  // namespace

void sleepMs(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::tm localTime(std::time_t secs) {
    std::tm parts{};
#ifdef _WIN32
    localtime_s(&parts, &secs);
#else
    localtime_r(&secs, &parts);
#endif
    return parts;
}

void setConsoleAttribute(std::uint16_t attr) {
#ifdef _WIN32
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), attr);
#else
    if (isTerminal(1)) {
        std::fputs(ansiFor(attr), stdout);
        std::fflush(stdout);
    }
#endif
}

bool isTerminal(int fd) {
#ifdef _WIN32
    return _isatty(fd) != 0;
#else
    return isatty(fd) == 1;
#endif
}

unsigned terminalColumns(std::FILE* stream) {
#ifndef _WIN32
    winsize size{};
    if (stream != nullptr && ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#else
    (void)stream;
#endif
    return 80;
}

void detachStdinIfNotTerminal() {
    if (isTerminal(0))
        return;
#ifdef _WIN32
    [[maybe_unused]] FILE* in = std::freopen("NUL", "r", stdin);
#else
    [[maybe_unused]] FILE* in = std::freopen("/dev/null", "r", stdin);
#endif
}

}  // namespace platform
