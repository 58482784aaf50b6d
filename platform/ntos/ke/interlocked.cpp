/* The interlocked operations' pause point. */
#include "ntos/ke/interlocked.h"

#include <wdm.h>

#include <condition_variable>
#include <mutex>

#include "base/bugcheck.h"

volatile void* volatile PlatInterlockedWatched = nullptr;

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
volatile void* g_target = nullptr;  // watched by the pause in effect
unsigned g_passing = 0;             // operations on it still to let through
bool g_held = false;                // a thread has been held (once per pause)
bool g_released = false;

}  // namespace

VOID PlatInterlockedReached(volatile void* Target)
{
    std::unique_lock<std::mutex> lock(g_lock);
    if (g_target != Target || g_held) {
        return;
    }
    if (g_passing != 0) {
        --g_passing;
        return;
    }
    g_held = true;
    __atomic_store_n(&PlatInterlockedWatched, nullptr, __ATOMIC_RELEASE);  // the next ones pass
    g_changed.notify_all();
    g_changed.wait(lock, [] { return g_released; });
}

namespace plat::ke {

InterlockedPause::InterlockedPause(volatile void* target, unsigned passing)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_target != nullptr) {
        BugCheck(0xDEADDEAD, "InterlockedPause: another pause is in effect");
    }
    g_target = target;
    g_passing = passing;
    g_held = false;
    g_released = false;
    __atomic_store_n(&PlatInterlockedWatched, target, __ATOMIC_RELEASE);
}

InterlockedPause::~InterlockedPause()
{
    Release();
    std::lock_guard<std::mutex> guard(g_lock);
    g_target = nullptr;
}

bool InterlockedPause::WaitHeld(std::chrono::milliseconds within)
{
    std::unique_lock<std::mutex> lock(g_lock);
    return g_changed.wait_for(lock, within, [] { return g_held; });
}

void InterlockedPause::Release()
{
    __atomic_store_n(&PlatInterlockedWatched, nullptr, __ATOMIC_RELEASE);
    std::lock_guard<std::mutex> guard(g_lock);
    g_released = true;
    g_changed.notify_all();
}

}  // namespace plat::ke
