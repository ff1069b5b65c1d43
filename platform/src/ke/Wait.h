// Shared pieces of the dispatcher objects.
#pragma once

#include <wdm.h>

namespace plat {

constexpr UCHAR kNotificationTimerType = 8;
constexpr UCHAR kSynchronizationTimerType = 9;

// Releases the waiters that the object's signal state allows, oldest first.
void SatisfyWaiters(DISPATCHER_HEADER *header);

}  // namespace plat
