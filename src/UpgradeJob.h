// The upgrade job behind CamUpgrade, with the knobs tests need.
#pragma once

#include "main.h"

#include <chrono>
#include <future>
#include <vector>

class DevApp;

namespace camjob {

struct JobOptions {
    // A job whose sessions have not reached a final state by then ends with
    // ST_TIMEOUT: a camera that never reports or never comes back must not
    // hold the host for ever.
    std::chrono::milliseconds deadline = std::chrono::minutes(15);
    unsigned pollMs = 600;
};

int runUpgradeJob(const char* hostIp, const char* deviceIp, const char* packagePath,
                  const JobOptions& options);

// The worker: polls every session until each has a final result.
int process(std::vector<DevApp*> devices, std::promise<ResProcess>& result,
            const JobOptions& options);

bool initNetResource();
bool deInitNetResource();

}  // namespace camjob
