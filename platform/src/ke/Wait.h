// Shared pieces of the dispatcher objects.
#pragma once

#include <cstddef>

#include <wdm.h>

namespace plat {

constexpr UCHAR kNotificationTimerType = 8;
constexpr UCHAR kSynchronizationTimerType = 9;

// Every field of an object's dispatcher header, as the kernel sets it: the
// type, the object's size in LONGs, the signal state and an empty wait list.
void InitializeDispatcherHeader(DISPATCHER_HEADER *header, UCHAR type, size_t objectSize, LONG signalState);

// Releases the waiters that the object's signal state allows, oldest first.
void SatisfyWaiters(DISPATCHER_HEADER *header);

}  // namespace plat
