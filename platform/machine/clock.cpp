/* The machine clock: real time scaled by the machine's rate. */
#include "machine/clock.h"

namespace plat {

LONGLONG Clock::Now() const
{
    auto real = std::chrono::steady_clock::now() - start_;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(real).count();
    return static_cast<LONGLONG>(static_cast<double>(ns) * Rate() / 100.0);
}

void Clock::SetRate(double rate) { rate_.store(rate > 0 ? rate : 1.0, std::memory_order_relaxed); }

std::chrono::nanoseconds Clock::ToReal(LONGLONG interval) const
{
    if (interval <= 0) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::nanoseconds(static_cast<long long>(static_cast<double>(interval) * 100.0 / Rate()));
}

}  // namespace plat
