/* Requests sent on a thread of their client process, and lifecycle steps on a thread of their own. */
#include "pending.h"

#include "um/client.h"

namespace sim {

PendingSend::PendingSend(plat::um::Process& process, std::function<void()> send)
{
    thread_ = process.Thread([this, send = std::move(send)] {
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

bool PendingSend::WaitHeldOrDone(const std::function<bool()>& held, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(lock_);
            if (returned_.wait_for(lock, std::chrono::milliseconds(1), [this] { return done_; })) {
                return true;
            }
        }
        if (held() || std::chrono::steady_clock::now() >= deadline) {
            return Done();
        }
    }
}

bool PendingSend::WaitDone(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(lock_);
    return returned_.wait_for(lock, limit, [this] { return done_; });
}

BackgroundStep::BackgroundStep(std::function<int32_t()> step)
{
    thread_ = std::thread([this, step = std::move(step)] {
        int32_t result = 0;
        std::exception_ptr error;
        try {
            result = step();
        } catch (...) {
            error = std::current_exception();  // the simulation reports it as it would have on its own thread
        }
        std::lock_guard<std::mutex> guard(lock_);
        result_ = result;
        error_ = error;
        done_ = true;
        returned_.notify_all();
    });
}

BackgroundStep::~BackgroundStep() { thread_.join(); }

bool BackgroundStep::Done()
{
    std::lock_guard<std::mutex> guard(lock_);
    return done_;
}

bool BackgroundStep::WaitDone(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(lock_);
    return returned_.wait_for(lock, limit, [this] { return done_; });
}

int32_t BackgroundStep::Result()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (error_) {
        std::rethrow_exception(error_);
    }
    return result_;
}

}  // namespace sim
