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

// A thread of the simulation's own that is waited for: whether it has
// returned, waiting for that, and joining it. A subclass starts thread_ and
// ends its work with Finish; it calls Join in its destructor, before its own
// members go.
class Returning {
public:
    Returning(const Returning&) = delete;
    Returning& operator=(const Returning&) = delete;

    // Whether the thread's work has returned (its results may be read then).
    bool Done();
    // Waits until the work returned; false when it has not by limit.
    bool WaitDone(std::chrono::milliseconds limit);

protected:
    Returning() = default;
    ~Returning() = default;
    // Records the work's results (under the lock) and marks it returned.
    void Finish(const std::function<void()>& record = {});
    void Join();

    std::mutex lock_;
    std::thread thread_;

private:
    std::condition_variable returned_;
    bool done_ = false;
};

class PendingSend : public Returning {
public:
    // Starts send on a new thread of the process.
    PendingSend(plat::um::Process& process, std::function<void()> send);
    ~PendingSend();  // waits for the send to return

    // Waits until the send returned (true) or held() says the device holds
    // the request (false); at most limit.
    bool WaitHeldOrDone(const std::function<bool()>& held, std::chrono::milliseconds limit);
};

// A lifecycle step (a start, whose prepare-hardware evaluates _DSM) run on a
// thread of its own, so that the simulation goes on while it waits on a
// firmware that does not answer.
class BackgroundStep : public Returning {
public:
    explicit BackgroundStep(std::function<int32_t()> step);
    ~BackgroundStep();  // waits for the step to return

    // What the step returned (once Done), an NTSTATUS; an exception it threw is thrown again here.
    int32_t Result();

private:
    int32_t result_ = 0;
    std::exception_ptr error_;
};

}  // namespace sim
