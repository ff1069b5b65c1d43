// Request completion and forwarding helpers, and MDL mapping.
#pragma once

#include "Portability.h"

// Completes the request; returns status.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// Completion routine: signals the event given as context and keeps the IRP.
NTSTATUS SignalEventCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// System address of the buffer the MDL describes, or null.
PVOID MapMdl(PMDL mdl);
