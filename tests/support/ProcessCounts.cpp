#include "support/ProcessCounts.h"

#include <filesystem>

namespace camtest {

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

}  // namespace camtest
