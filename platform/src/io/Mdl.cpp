// Memory descriptor lists, as far as buffers in the simulated address space
// need them: every buffer is resident, so mapping returns the address itself.
#include <cstdlib>

#include "verifier/Verifier.h"

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    auto *mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = VirtualAddress;
    mdl->ByteCount = Length;
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    if (Irp) {
        if (SecondaryBuffer && Irp->MdlAddress) {
            PMDL last = Irp->MdlAddress;
            while (last->Next)
                last = last->Next;
            last->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) { std::free(Mdl); }

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode)
{
    if (MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
        return MemoryDescriptorList->MappedSystemVa;
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

}
