/*
 * A lock for the platform's own bookkeeping: held for a few instructions
 * (linking an object, counting an allocation), never across a call into a
 * driver or a wait. Taking it free costs one atomic exchange, where a mutex
 * costs two atomic steps and a call; a waiter spins briefly and then yields,
 * since the holder is a host thread that may be preempted. It meets the
 * standard's Lockable requirements, so std::lock_guard holds it.
 */
#pragma once
#include <atomic>
#include <thread>

namespace plat {

class HostLock {
public:
    void lock()
    {
        for (unsigned spins = 0; busy_.exchange(true, std::memory_order_acquire); ++spins) {
            if (spins > 64) {
                std::this_thread::yield();
            }
        }
    }
    bool try_lock() { return !busy_.exchange(true, std::memory_order_acquire); }
    void unlock() { busy_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> busy_{false};
};

}  // namespace plat

namespace plat {

// A small number for the calling thread, unique among the threads alive: the
// lowest free one at the thread's first call, free again when the thread
// ends. Per-thread shards are picked by it, so that threads running at the
// same time get shards of their own however many threads came and went.
unsigned ThreadIndex();

}  // namespace plat
