/*
 * The machine's clock. Time-outs (the 3-second _DSM send, waits) are measured
 * on it; a test may run it faster than real time so that a time-out costs
 * little real time.
 */
#pragma once
#include <wdm.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace plat {

class Clock {
public:
    explicit Clock(double rate = 1.0) : rate_(rate) {}

    // Machine time in 100-ns units since the machine started.
    LONGLONG Now() const;
    // Machine seconds per real second.
    double Rate() const { return rate_.load(std::memory_order_relaxed); }
    // Takes effect for time-outs started afterwards; set it before the machine runs.
    void SetRate(double rate);

    // Real time that a relative machine interval (100-ns units, positive) takes.
    std::chrono::nanoseconds ToReal(LONGLONG interval) const;

    // Waits on cv until pred holds or the machine interval passed; false on time-out.
    template <class Pred>
    bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, LONGLONG interval, Pred pred) const
    {
        return cv.wait_for(lock, ToReal(interval), pred);
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<double> rate_;
};

}  // namespace plat
