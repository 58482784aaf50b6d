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
    uint64_t call = 0;  // the call it fails, counted since the last Reset(); 0: every call
    NTSTATUS status = STATUS_SUCCESS;
};

struct State {
    std::atomic<bool> active{false};
    std::mutex lock;
    std::map<std::string, uint64_t> counts;  // also the number of the point's latest call
    std::multimap<std::string, Arm> arms;
    uint64_t injected = 0;
};

State& Faults()
{
    static State state;
    return state;
}

}  // namespace

// An arm for one call fires at that call and is gone; an arm for every call
// stays. One for this very call goes before one for every call.
NTSTATUS Check(const char* point)
{
    State& s = Faults();
    if (!s.active.load(std::memory_order_acquire)) {
        return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    uint64_t call = ++s.counts[point];
    auto range = s.arms.equal_range(point);
    auto every = range.second;
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.call == call) {
            NTSTATUS status = it->second.status;
            s.arms.erase(it);
            s.injected++;
            return status;
        }
        if (it->second.call == 0 && every == range.second) {
            every = it;
        }
    }
    if (every != range.second) {
        s.injected++;
        return every->second.status;
    }
    return STATUS_SUCCESS;
}

uint64_t FailNth(const std::string& point, uint64_t n, NTSTATUS status)
{
    State& s = Faults();
    std::lock_guard<std::mutex> guard(s.lock);
    uint64_t call = 0;
    if (n != 0) {
        // A call another arm already fails goes to that arm: this one takes the
        // next free call, so arms given for the same call fire in the order given.
        call = s.counts[point] + n;
        auto range = s.arms.equal_range(point);
        for (bool taken = true; taken;) {
            taken = false;
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second.call == call) {
                    ++call;
                    taken = true;
                }
            }
        }
    }
    s.arms.emplace(point, Arm{call, status});
    s.active.store(true, std::memory_order_release);
    return call == 0 ? 0 : call - s.counts[point];
}

void FailAll(const std::string& point, NTSTATUS status) { FailNth(point, 0, status); }

void Reset()
{
    State& s = Faults();
    std::lock_guard<std::mutex> guard(s.lock);
    s.arms.clear();
    s.counts.clear();
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
