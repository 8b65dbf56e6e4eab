#include "support/ProcessCounts.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <filesystem>
#endif

namespace camtest {

#ifdef _WIN32

std::size_t threadCount() {
    std::size_t n = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snap, &entry); more; more = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snap);
    return n;
}

// Sockets are kernel handles on Windows; so are files, events and threads.
std::size_t openFdCount() {
    DWORD n = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &n) ? n : 0;
}

#else

namespace {
std::size_t entries(const char* dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}
}  // namespace

std::size_t threadCount() { return entries("/proc/self/task"); }
std::size_t openFdCount() { return entries("/proc/self/fd"); }

#endif

}  // namespace camtest
