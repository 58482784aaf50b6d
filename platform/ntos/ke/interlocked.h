/*
 * A pause point in the interlocked operations, for tests that must make a
 * race fall one way: the first thread whose interlocked operation targets the
 * watched address is held there, before the operation, until the test lets it
 * go. One address is watched at a time, and only one thread is held (later
 * operations on the address go through).
 */
#pragma once
#include <chrono>

namespace plat::ke {

class InterlockedPause {
public:
    explicit InterlockedPause(volatile void* target);  // watches the target from now on
    ~InterlockedPause();                               // releases a held thread and stops watching
    InterlockedPause(const InterlockedPause&) = delete;
    InterlockedPause& operator=(const InterlockedPause&) = delete;

    // Waits until a thread is held; false when none came within the time.
    bool WaitHeld(std::chrono::milliseconds within);
    // Lets the held thread go on with its operation (and any that comes later).
    void Release();
};

}  // namespace plat::ke
