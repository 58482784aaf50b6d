/* Framework work items: what the rest of the platform needs to know of them. */
#pragma once
#include <chrono>

namespace plat::wdf {

// Waits until no work item is queued or running; false when the time ran out.
bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout);

}  // namespace plat::wdf
