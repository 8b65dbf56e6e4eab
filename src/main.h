// The exported entry points' side of the library: the two words they share
// with the host. Nothing below the exports includes this header.
#pragma once

#include <atomic>
#include <cstdint>

// Shared with the host through GetUpdateStatus; both zero at load.
extern std::atomic<std::int32_t> g_upgradeStatus;
extern std::atomic<std::uint32_t> g_upgradeProgress;
