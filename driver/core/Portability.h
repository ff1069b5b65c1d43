// The one place where the driver's sources meet the platform: the kernel
// headers, and how a frame that catches a raised status is written. On the
// simulated platform the frame is the platform's own, which jumps back like
// the kernel's; with a compiler that has structured exception handling the
// frame is __try/__except.

#pragma once

#include <ntddk.h>
#include <wdmsec.h>
#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>

#if !defined(SIMULATED_NT_PLATFORM)
#include <stdarg.h>

// The kernel exports this C run-time routine, but the kernel headers do not
// declare it; a Windows driver gets it from the C library's <stdio.h>.
extern "C" int __cdecl _vsnprintf(char *buffer, size_t count, const char *format, va_list args);
#endif

#if defined(SIMULATED_NT_PLATFORM)

// The platform's frame returns to the handler with the raised status and,
// like the kernel's, runs no destructor of what the raise left behind.
#define KERNEL_TRY if (SIMULATED_EXCEPTION_FRAME kernelFrame; setjmp(kernelFrame.Target) == 0)
#define KERNEL_EXCEPT else

// Inside KERNEL_EXCEPT: the status that was raised.
#define KernelExceptionCode() (kernelFrame.Status)

#elif defined(_MSC_VER)

#define KERNEL_TRY __try
#define KERNEL_EXCEPT __except (EXCEPTION_EXECUTE_HANDLER)
#define KernelExceptionCode() GetExceptionCode()

#else

// A compiler without structured exception handling (the cross-compiler used
// for the header check) cannot catch a raised status; the frame compiles to
// its body alone.
#define KERNEL_TRY if (true)
#define KERNEL_EXCEPT else
#define KernelExceptionCode() STATUS_UNSUCCESSFUL

#endif

// Calls body (a callable returning NTSTATUS) inside a frame: what it returns,
// or the status it raised. A raise runs none of body's destructors, so body
// declares nothing that owns: what it fills is the caller's, declared before
// the call and freed by the caller whichever way the call ends. A lock taken
// for body is released by the caller after the call, never by a guard inside.
template <typename Body> NTSTATUS CallInFrame(Body &&body)
{
    KERNEL_TRY {
        return body();
    } KERNEL_EXCEPT {
        return KernelExceptionCode();
    }
}
