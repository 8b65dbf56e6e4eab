// Threads and open descriptors of this process, to show that a job leaves
// nothing running or open behind it.
#pragma once

#include <cstddef>

namespace camtest {

std::size_t threadCount();  // entries of /proc/self/task (Windows: a thread snapshot)
std::size_t openFdCount();  // entries of /proc/self/fd (Windows: the handle count)

}  // namespace camtest
