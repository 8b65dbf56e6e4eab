// The one place where the host operating system shows through. Everything
// outside src/platform/ calls these functions instead of Win32 or POSIX.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace platform {

// Whether the console of the host's locale reads the GBK code page (Windows)
// rather than UTF-8; the library's Chinese lines are written in its bytes.
#ifdef _WIN32
constexpr bool kGbkConsole = true;
#else
constexpr bool kGbkConsole = false;
#endif

// Pauses the calling thread (Win32 Sleep).
void sleepMs(unsigned ms);

// The local calendar time of secs, thread-safe (localtime_s / localtime_r).
std::tm localTime(std::time_t secs);

// Console character attributes as the Windows console knows them.
enum ConsoleAttr : std::uint16_t {
    CONSOLE_GREY = 0x07,
    CONSOLE_BRIGHT_GREEN = 0x0A,
    CONSOLE_BRIGHT_RED = 0x0C,
};

// Sets the colour of the process's standard output. On POSIX this writes an
// ANSI sequence, and only when standard output is a terminal.
void setConsoleAttribute(std::uint16_t attr);

// True when the given stream (1 = stdout, 2 = stderr) is a terminal.
bool isTerminal(int fd);

// Columns of the terminal on the given stream, 80 when unknown (always on
// Windows, where the console is not asked).
unsigned terminalColumns(std::FILE* stream);

// When standard input is not a terminal, reads from the null device from now
// on, so that a library waiting for a key press cannot hang a process that
// nobody is there to answer.
void detachStdinIfNotTerminal();

}  // namespace platform
