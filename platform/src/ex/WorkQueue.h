// System worker threads that run queued work items at PASSIVE_LEVEL.
#pragma once

#include <functional>

namespace plat {

// Runs work at PASSIVE_LEVEL in a system worker thread, as the platform's
// own managers queue it. Any IRQL up to DISPATCH_LEVEL.
void QueuePlatformWork(std::function<void()> work);

void StartWorkerThreads(int count);
// Ends the worker threads once the queue is empty.
void StopWorkerThreads();

}  // namespace plat
