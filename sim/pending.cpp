/* Requests sent on a thread of their client process. */
#include "pending.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "um/client.h"

namespace sim {
namespace {

// Whether the thread is asleep in the kernel on a futex (a lock or a
// condition: where a sender waits for its request), as a debugger sees a
// thread's wait. Where the kernel does not say what a thread waits on, asleep is enough.
bool WaitsInKernel(pid_t tid)
{
    std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream stat(task + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) {
        return false;
    }
    char state = text[close + 2];
    if (state != 'S' && state != 'D') {
        return false;
    }
    std::ifstream wchan(task + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where.empty() || where == "0" || where.find("futex") != std::string::npos;
}

}  // namespace

PendingSend::PendingSend(plat::um::Process& process, std::function<void()> send)
{
    thread_ = process.Thread([this, send = std::move(send)] {
        tid_.store(gettid(), std::memory_order_release);
        send();
        std::lock_guard<std::mutex> guard(lock_);
        done_ = true;
        returned_.notify_all();
    });
}

PendingSend::~PendingSend() { thread_.join(); }

bool PendingSend::Done()
{
    std::lock_guard<std::mutex> guard(lock_);
    return done_;
}

bool PendingSend::WaitHeldOrDone(std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    int waiting = 0;  // consecutive looks that found the sender waiting
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(lock_);
            if (returned_.wait_for(lock, std::chrono::milliseconds(1), [this] { return done_; })) {
                return true;
            }
        }
        // Looks without the lock, which the sender takes once its send returned.
        pid_t tid = tid_.load(std::memory_order_acquire);
        waiting = tid != 0 && WaitsInKernel(tid) ? waiting + 1 : 0;
        // Twice in a row: a wait for a lock on the way in is over by the second look.
        if (waiting == 2 || std::chrono::steady_clock::now() >= deadline) {
            return Done();
        }
    }
}

bool PendingSend::WaitDone(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(lock_);
    return returned_.wait_for(lock, limit, [this] { return done_; });
}

}  // namespace sim
