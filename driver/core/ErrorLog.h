// Error-log entries of the driver's devices. Best effort: an entry that would
// be too large, or that cannot be allocated, is not written.
#pragma once

#include "Portability.h"

constexpr NTSTATUS kEventLinkNotCreated = static_cast<NTSTATUS>(0xE0060001L);
constexpr NTSTATUS kEventNoPortName = static_cast<NTSTATUS>(0xE0060002L);

void LogError(PDEVICE_OBJECT device);
void LogErrorWithText(PDEVICE_OBJECT device, PCWSTR text);
