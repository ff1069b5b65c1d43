// ExRaiseStatus.
#include "ex/Raise.h"

extern "C" VOID ExRaiseStatus(NTSTATUS Status) { throw SIMULATED_RAISED_STATUS{Status}; }
