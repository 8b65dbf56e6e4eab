// The exported entry points and the upgrade job.
#include "main.h"

#include "platform/platform.h"

#include <camupgrade.h>

std::atomic<std::int32_t> g_upgradeStatus{0};
std::atomic<std::uint32_t> g_upgradeProgress{0};

namespace {
constexpr unsigned kStatusPauseMs = 2000;
}

extern "C" CAMUPGRADE_API unsigned int GetUpdateStatus(void) {
    std::int32_t status = g_upgradeStatus.load();
    g_upgradeProgress.store(advanceProgress(status, g_upgradeProgress.load()));
    platform::sleepMs(kStatusPauseMs);
    return g_upgradeProgress.load();
}
