/* Framework work items: what the rest of the platform needs to know of them. */
#pragma once
#include <chrono>
#include <cstddef>

namespace plat::wdf {

// The system worker threads that run work items.
constexpr size_t kSystemWorkerThreads = 4;

// Waits until no work item is queued or running; false when the time ran out.
bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout);

// Work items waiting for a worker thread, callbacks running now, and threads
// waiting for a work item to finish (deleting or flushing it).
struct WorkItemLoad {
    size_t queued = 0;
    size_t running = 0;
    size_t waiting = 0;
};
WorkItemLoad CurrentWorkItemLoad();

// While one lives, the system worker threads take no queued item (a
// debugger's freeze of the worker threads): a test holds items queued to see
// what happens before they start. Items already running go on.
class WorkerHold {
public:
    WorkerHold();
    ~WorkerHold();  // the workers take the queued items again
    WorkerHold(const WorkerHold&) = delete;
    WorkerHold& operator=(const WorkerHold&) = delete;
};

}  // namespace plat::wdf
