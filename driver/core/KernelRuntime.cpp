// The two C++ run-time routines the compiler calls that a kernel image has no
// library for. On the simulated platform the host's C++ library supplies them.
#include "Pool.h"

#if !defined(SIMULATED_NT_PLATFORM)

#include <new>

// Deleting destructors of classes without their own operator delete. Objects
// of the driver live in its pool.
void operator delete(void *block, size_t) noexcept { FreePool(block); }
void operator delete(void *block) noexcept { FreePool(block); }

// Registration of static destructors. Nothing runs the image's static
// initialisers in the kernel: DriverEntry constructs the driver's record
// itself, and DriverUnload frees what the destructors would have freed.
extern "C" int __cdecl atexit(void(__cdecl *)(void)) { return 0; }

#endif
