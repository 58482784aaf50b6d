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

}  // namespace plat::wdf
