// Placeholder until the WMI provider lands.
#include "KWmiProvider.h"

#include "Completion.h"
#include "KPnpDevice.h"

NTSTATUS KWmiBlock::EnableEvents(bool) { return STATUS_WMI_NOT_SUPPORTED; }
NTSTATUS KWmiBlock::EnableCollection(bool) { return STATUS_WMI_NOT_SUPPORTED; }
NTSTATUS KWmiBlock::SetData(PVOID) { return STATUS_WMI_NOT_SUPPORTED; }
ULONG KWmiBlock::SetDataSize(ULONG size) { return static_cast<ULONG>(dataSize = static_cast<LONG>(size)); }

KWmiProvider *KWmiProvider::Create(KPnpDevice *) { return nullptr; }
void KWmiProvider::Destroy(KWmiProvider *) {}

NTSTATUS KPnpDevice::AddWmiBlock(const GUID &, KWmiBlock *) { return STATUS_INSUFFICIENT_RESOURCES; }
NTSTATUS KPnpDevice::DispatchSystemControl(PIRP irp) { return Forward(irp); }
