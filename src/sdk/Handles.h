// Job handles that can be checked without touching freed memory: a handle
// is a slot number and the slot's generation, never an address, so a freed
// or made-up handle is recognised and refused. Looking a handle up takes no
// lock and allocates nothing, which keeps cu_job_cancel safe in a signal
// handler.
#pragma once

#include "camupgrade_sdk.h"

namespace sdk {

class Job;

// A handle for the job, or null when every slot is taken.
cu_job* registerJob(Job* job);

// Holds the job of a handle so that it cannot be freed meanwhile.
class JobRef {
public:
    explicit JobRef(cu_job* handle);
    ~JobRef();
    JobRef(const JobRef&) = delete;
    JobRef& operator=(const JobRef&) = delete;
    Job* get() const { return m_job; }
    void release();

private:
    unsigned m_slot = 0;
    Job* m_job = nullptr;
};

// Takes the job out of the table once nobody holds it; null when the handle
// is not (or no longer) valid. The caller then owns the job.
Job* unregisterJob(cu_job* handle);

}  // namespace sdk
