#include "sdk/Handles.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace sdk {

namespace {

constexpr unsigned kSlotBits = 12;
constexpr unsigned kSlots = 1u << kSlotBits;  // jobs that exist at once

struct Slot {
    std::atomic<std::uintptr_t> generation{0};
    std::atomic<int> users{0};
    std::atomic<Job*> job{nullptr};
};

Slot g_slots[kSlots];
std::mutex g_lock;  // taken by register and unregister only
unsigned g_next = 0;

static_assert(std::atomic<std::uintptr_t>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free && std::atomic<Job*>::is_always_lock_free,
              "handle lookups must stay lock-free for signal handlers");

std::uintptr_t slotOf(cu_job* handle) {
    return reinterpret_cast<std::uintptr_t>(handle) & (kSlots - 1);
}
std::uintptr_t generationOf(cu_job* handle) {
    return reinterpret_cast<std::uintptr_t>(handle) >> kSlotBits;
}

}  // namespace

cu_job* registerJob(Job* job) {
    std::lock_guard<std::mutex> guard(g_lock);
    // Round robin, so that a freed slot is reused as late as possible.
    for (unsigned n = 0; n < kSlots; ++n) {
        unsigned i = (g_next + n) % kSlots;
        Slot& slot = g_slots[i];
        if (slot.job.load() != nullptr)
            continue;
        std::uintptr_t generation = slot.generation.load() + 1;
        slot.generation.store(generation);
        slot.job.store(job);
        g_next = i + 1;
        return reinterpret_cast<cu_job*>((generation << kSlotBits) | i);
    }
    return nullptr;
}

JobRef::JobRef(cu_job* handle) {
    std::uintptr_t generation = generationOf(handle);
    if (generation == 0)
        return;
    m_slot = static_cast<unsigned>(slotOf(handle));
    Slot& slot = g_slots[m_slot];
    slot.users.fetch_add(1);
    // unregisterJob empties the slot before it waits for the users, and a
    // new job gets a new generation before it enters: either it sees us or
    // we see the change.
    Job* job = slot.job.load();
    if (slot.generation.load() != generation || job == nullptr) {
        slot.users.fetch_sub(1);
        return;
    }
    m_job = job;
}

JobRef::~JobRef() { release(); }

void JobRef::release() {
    if (m_job != nullptr)
        g_slots[m_slot].users.fetch_sub(1);
    m_job = nullptr;
}

Job* unregisterJob(cu_job* handle) {
    std::uintptr_t generation = generationOf(handle);
    if (generation == 0)
        return nullptr;
    Slot& slot = g_slots[slotOf(handle)];
    Job* job = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        job = slot.job.load();
        if (slot.generation.load() != generation || job == nullptr)
            return nullptr;
        slot.job.store(nullptr);
    }
    // A lookup that got the job before it left the slot still holds it. (A
    // new job in the slot may add its own users: that only waits longer.)
    while (slot.users.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return job;
}

}  // namespace sdk
