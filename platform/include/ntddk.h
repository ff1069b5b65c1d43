// Kernel-mode driver interfaces: everything of <wdm.h> plus the few routines
// that full kernel drivers use beyond it.
#pragma once

#include "wdm.h"

extern "C" {
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PVOID ClientId, VOID (*StartRoutine)(PVOID), PVOID StartContext);
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
}
