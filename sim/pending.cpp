/* Requests sent on a thread of their client process, and lifecycle steps on a thread of their own. */
#include "pending.h"

#include "um/client.h"

namespace sim {

bool Returning::Done()
{
    std::lock_guard<std::mutex> guard(lock_);
    return done_;
}

bool Returning::WaitDone(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(lock_);
    return returned_.wait_for(lock, limit, [this] { return done_; });
}

void Returning::Finish(const std::function<void()>& record)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (record) {
        record();
    }
    done_ = true;
    returned_.notify_all();
}

void Returning::Join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
}

PendingSend::PendingSend(plat::um::Process& process, std::function<void()> send)
{
    thread_ = process.Thread([this, send = std::move(send)] {
        send();
        Finish();
    });
}

PendingSend::~PendingSend() { Join(); }

bool PendingSend::WaitHeldOrDone(const std::function<bool()>& held, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!WaitDone(std::chrono::milliseconds(1))) {
        if (held() || std::chrono::steady_clock::now() >= deadline) {
            return Done();
        }
    }
    return true;
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
        Finish([&] {
            result_ = result;
            error_ = error;
        });
    });
}

BackgroundStep::~BackgroundStep() { Join(); }

int32_t BackgroundStep::Result()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (error_) {
        std::rethrow_exception(error_);
    }
    return result_;
}

}  // namespace sim
