// ExRaiseStatus and the frames that catch a raised status.
//
// Each simulated thread is a host thread, so a host thread-local list holds
// the thread's frames, innermost first. A raise unlinks the innermost frame
// and jumps to it; frames skipped on the way run no destructors, as on the
// real kernel.
#include "ex/Raise.h"

#include <setjmp.h>

namespace {

thread_local SIMULATED_EXCEPTION_FRAME *innermost = nullptr;

}  // namespace

SIMULATED_EXCEPTION_FRAME::SIMULATED_EXCEPTION_FRAME() : Status(0), Outer(innermost), Armed(true)
{
    innermost = this;
}

SIMULATED_EXCEPTION_FRAME::~SIMULATED_EXCEPTION_FRAME()
{
    // A frame left normally is still the innermost one; a frame whose raise
    // was taken was unlinked by ExRaiseStatus.
    if (Armed)
        innermost = Outer;
}

extern "C" VOID ExRaiseStatus(NTSTATUS Status)
{
    SIMULATED_EXCEPTION_FRAME *frame = innermost;
    if (!frame)
        throw SIMULATED_RAISED_STATUS{Status};
    innermost = frame->Outer;
    frame->Armed = false;
    frame->Status = Status;
    longjmp(frame->Target, 1);
}
