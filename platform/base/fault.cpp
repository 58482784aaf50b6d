/*
 * Fault injection. The fast path (nothing armed, nothing counted) is one
 * atomic load, so the checks can sit on every hot path of the platform.
 */
#include "base/fault.h"

#include <atomic>
#include <mutex>

namespace plat::fault {
namespace {

struct Arm {
    uint64_t nth = 0;  // 0: every call
    NTSTATUS status = STATUS_SUCCESS;
};

struct State {
    std::atomic<bool> active{false};
    std::mutex lock;
    std::map<std::string, uint64_t> counts;
    std::map<std::string, uint64_t> callsSinceArmed;
    std::multimap<std::string, Arm> arms;
    uint64_t injected = 0;
};

State& Faults()
{
    static State state;
    return state;
}

}  // namespace

NTSTATUS Check(const char* point)
{
    State& s = Faults();
    if (!s.active.load(std::memory_order_acquire)) {
        return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    s.counts[point]++;
    uint64_t call = ++s.callsSinceArmed[point];
    auto range = s.arms.equal_range(point);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.nth == 0 || it->second.nth == call) {
            s.injected++;
            return it->second.status;
        }
    }
    return STATUS_SUCCESS;
}

void FailNth(const std::string& point, uint64_t n, NTSTATUS status)
{
    State& s = Faults();
    std::lock_guard<std::mutex> guard(s.lock);
    s.callsSinceArmed[point] = 0;
    s.arms.emplace(point, Arm{n, status});
    s.active.store(true, std::memory_order_release);
}

void FailAll(const std::string& point, NTSTATUS status) { FailNth(point, 0, status); }

void Reset()
{
    State& s = Faults();
    std::lock_guard<std::mutex> guard(s.lock);
    s.arms.clear();
    s.counts.clear();
    s.callsSinceArmed.clear();
    s.injected = 0;
    // Counting stays on once anything asked for it, so Counts() keeps working after a Reset().
    s.active.store(true, std::memory_order_release);
}

std::map<std::string, uint64_t> Counts()
{
    State& s = Faults();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.counts;
}

uint64_t Injected()
{
    State& s = Faults();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.injected;
}

}  // namespace plat::fault
