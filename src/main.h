// The two words the exported entry points share: the status the job
// publishes and the progress GetUpdateStatus computes from it.
#pragma once

#include "results.h"

#include <atomic>
#include <cstdint>

// Shared with the host through GetUpdateStatus; both zero at load.
extern std::atomic<std::int32_t> g_upgradeStatus;
extern std::atomic<std::uint32_t> g_upgradeProgress;
