/*
 * A device request sent on a thread of its client process, for a request
 * the device holds (it is out of D0): the sender waits in the request, as
 * DeviceIoControl does, while the simulation goes on, and its completion is
 * collected later.
 */
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace plat::um {
class Process;
}

namespace sim {

class PendingSend {
public:
    // Starts send on a new thread of the process.
    PendingSend(plat::um::Process& process, std::function<void()> send);
    ~PendingSend();  // waits for the send to return
    PendingSend(const PendingSend&) = delete;
    PendingSend& operator=(const PendingSend&) = delete;

    // Whether the send has returned (its results may be read then).
    bool Done();
    // Waits until the send returned (true) or held() says the device holds
    // the request (false); at most limit.
    bool WaitHeldOrDone(const std::function<bool()>& held, std::chrono::milliseconds limit);
    // Waits until the send returned; false when it has not by limit.
    bool WaitDone(std::chrono::milliseconds limit);

private:
    std::mutex lock_;
    std::condition_variable returned_;
    bool done_ = false;
    std::thread thread_;
};

// A lifecycle step (a start, whose prepare-hardware evaluates _DSM) run on a
// thread of its own, so that the simulation goes on while it waits on a
// firmware that does not answer.
class BackgroundStep {
public:
    explicit BackgroundStep(std::function<int32_t()> step);
    ~BackgroundStep();  // waits for the step to return
    BackgroundStep(const BackgroundStep&) = delete;
    BackgroundStep& operator=(const BackgroundStep&) = delete;

    bool Done();
    // Waits until the step returned; false when it has not by limit.
    bool WaitDone(std::chrono::milliseconds limit);
    // What the step returned (once Done), an NTSTATUS; an exception it threw is thrown again here.
    int32_t Result();

private:
    std::mutex lock_;
    std::condition_variable returned_;
    bool done_ = false;
    int32_t result_ = 0;
    std::exception_ptr error_;
    std::thread thread_;
};

}  // namespace sim
