// System worker threads that run queued work items at PASSIVE_LEVEL.
#pragma once

namespace plat {

void StartWorkerThreads(int count);
// Ends the worker threads once the queue is empty.
void StopWorkerThreads();

}  // namespace plat
