/*
 * A pause point in the interlocked operations, for tests that must make a
 * race fall one way: the thread whose interlocked operation is the first on
 * the watched address (or the first after `passing` operations have gone
 * through) is held there, before the operation, until the test lets it go.
 * One address is watched at a time, and only one thread is held (later
 * operations on the address go through).
 */
#pragma once
#include <chrono>

namespace plat::ke {

class InterlockedPause {
public:
    // Watches the target from now on; the first `passing` operations on it go through.
    explicit InterlockedPause(volatile void* target, unsigned passing = 0);
    ~InterlockedPause();                               // releases a held thread and stops watching
    InterlockedPause(const InterlockedPause&) = delete;
    InterlockedPause& operator=(const InterlockedPause&) = delete;

    // Waits until a thread is held; false when none came within the time.
    bool WaitHeld(std::chrono::milliseconds within);
    // Lets the held thread go on with its operation (and any that comes later).
    void Release();
};

}  // namespace plat::ke
