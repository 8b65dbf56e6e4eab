#include "platform/processlock.h"

namespace platform {

ProcessLock::~ProcessLock() { release(); }

void ProcessLock::release() {}

bool ProcessLock::acquire(const std::string&, std::string*) { return true; }

}  // namespace platform
