// IRP_MJ_PNP for every Plug and Play device: the minor handlers, forwarding,
// and the capability fix-up.
#include "KPnpDevice.h"

#include "Completion.h"
#include "DriverGlobals.h"
#include "KIrpHolder.h"

namespace {

using PnpHandler = NTSTATUS (KPnpDevice::*)(PIRP irp);

// Indexed by minor code; null entries are forwarded untouched.
constexpr ULONG kPnpHandlerCount = IRP_MN_SURPRISE_REMOVAL + 1;
const PnpHandler kPnpHandlers[kPnpHandlerCount] = {
    /* 0x00 IRP_MN_START_DEVICE */ &KPnpDevice::HandleStartDevice,
    /* 0x01 IRP_MN_QUERY_REMOVE_DEVICE */ &KPnpDevice::HandleQueryRemoveDevice,
    /* 0x02 IRP_MN_REMOVE_DEVICE */ &KPnpDevice::HandleRemoveDevice,
    /* 0x03 IRP_MN_CANCEL_REMOVE_DEVICE */ &KPnpDevice::HandleCancelRemoveDevice,
    /* 0x04 IRP_MN_STOP_DEVICE */ &KPnpDevice::HandleStopDevice,
    /* 0x05 IRP_MN_QUERY_STOP_DEVICE */ &KPnpDevice::HandleQueryStopDevice,
    /* 0x06 IRP_MN_CANCEL_STOP_DEVICE */ &KPnpDevice::HandleCancelStopDevice,
    /* 0x07 IRP_MN_QUERY_DEVICE_RELATIONS */ &KPnpDevice::HandleQueryDeviceRelations,
    /* 0x08 IRP_MN_QUERY_INTERFACE */ nullptr,
    /* 0x09 IRP_MN_QUERY_CAPABILITIES */ &KPnpDevice::HandleQueryCapabilities,
    /* 0x0A IRP_MN_QUERY_RESOURCES */ nullptr,
    /* 0x0B IRP_MN_QUERY_RESOURCE_REQUIREMENTS */ nullptr,
    /* 0x0C IRP_MN_QUERY_DEVICE_TEXT */ nullptr,
    /* 0x0D IRP_MN_FILTER_RESOURCE_REQUIREMENTS */ nullptr,
    /* 0x0E */ nullptr,
    /* 0x0F IRP_MN_READ_CONFIG */ nullptr,
    /* 0x10 IRP_MN_WRITE_CONFIG */ nullptr,
    /* 0x11 IRP_MN_EJECT */ nullptr,
    /* 0x12 IRP_MN_SET_LOCK */ nullptr,
    /* 0x13 IRP_MN_QUERY_ID */ nullptr,
    /* 0x14 IRP_MN_QUERY_PNP_DEVICE_STATE */ &KPnpDevice::HandleQueryPnpDeviceState,
    /* 0x15 IRP_MN_QUERY_BUS_INFORMATION */ nullptr,
    /* 0x16 IRP_MN_DEVICE_USAGE_NOTIFICATION */ nullptr,
    /* 0x17 IRP_MN_SURPRISE_REMOVAL */ &KPnpDevice::HandleSurpriseRemoval,
};

// Flag-word bits of DEVICE_CAPABILITIES.
constexpr ULONG kDeviceD1 = 0x1;
constexpr ULONG kDeviceD2 = 0x2;
constexpr ULONG kSurpriseRemovalOk = 0x200;
constexpr ULONG kWakeFromD0 = 0x400;
constexpr ULONG kWakeFromD1 = 0x800;
constexpr ULONG kWakeFromD2 = 0x1000;
constexpr ULONG kWakeFromD3 = 0x2000;

ULONG &FlagWord(PDEVICE_CAPABILITIES caps)
{
    return *reinterpret_cast<ULONG *>(reinterpret_cast<PUCHAR>(caps) + FIELD_OFFSET(DEVICE_CAPABILITIES, Address) -
                                      sizeof(ULONG));
}

void ForceSurpriseRemovalOk(PDEVICE_CAPABILITIES caps, bool ok)
{
    ULONG &flags = FlagWord(caps);
    flags = ok ? (flags | kSurpriseRemovalOk) : (flags & ~kSurpriseRemovalOk);
}

// Bits a wake from deviceState implies.
ULONG WakeBitsFor(LONG deviceState)
{
    switch (deviceState) {
    case PowerDeviceD0:
        return kWakeFromD0;
    case PowerDeviceD1:
        return kWakeFromD1 | kDeviceD1;
    case PowerDeviceD2:
        return kWakeFromD2 | kDeviceD2;
    case PowerDeviceD3:
        return kWakeFromD3;
    default:
        return 0;
    }
}

// The partial list of the first full descriptor, or null.
PCM_PARTIAL_RESOURCE_LIST FirstPartialList(PCM_RESOURCE_LIST list)
{
    return list ? &list->List[0].PartialResourceList : nullptr;
}

}  // namespace

void FixUpCapabilities(PDEVICE_CAPABILITIES caps)
{
    if (DriverGlobals.wdmOrdinal < 2)
        return;
    ULONG &flags = FlagWord(caps);
    for (int s = PowerSystemSleeping1; s <= PowerSystemHibernate; ++s) {
        if (caps->DeviceState[s] == PowerDeviceD1)
            flags |= kDeviceD1;
        else if (caps->DeviceState[s] == PowerDeviceD2)
            flags |= kDeviceD2;
    }
    flags |= WakeBitsFor(caps->DeviceWake);
    if (caps->SystemWake != PowerSystemUnspecified && caps->SystemWake < PowerSystemMaximum)
        flags |= WakeBitsFor(caps->DeviceState[caps->SystemWake]);
    LONG deepest = (flags & kWakeFromD3)   ? PowerDeviceD3
                   : (flags & kWakeFromD2) ? PowerDeviceD2
                   : (flags & kWakeFromD1) ? PowerDeviceD1
                                           : PowerDeviceD0;
    if (caps->SystemWake == PowerSystemUnspecified && deepest > PowerDeviceD0)
        for (int n = PowerSystemSleeping3; n >= PowerSystemWorking; --n)
            if (caps->DeviceState[n] != PowerDeviceUnspecified && caps->DeviceState[n] <= deepest) {
                caps->SystemWake = static_cast<SYSTEM_POWER_STATE>(n);
                break;
            }
}

// PASSIVE_LEVEL.
NTSTATUS KPnpDevice::DispatchPnp(PIRP irp)
{
    NTSTATUS status = AcquireRemoveLock();
    if (!NT_SUCCESS(status))
        return CompleteRequest(irp, status);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PnpHandler handler = minor < kPnpHandlerCount ? kPnpHandlers[minor] : nullptr;
    status = handler ? (this->*handler)(irp) : Forward(irp);
    // The remove handler has released the lock and destroyed the object.
    if (minor != IRP_MN_REMOVE_DEVICE)
        ReleaseRemoveLock();
    return status;
}

NTSTATUS KPnpDevice::Forward(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lowerDevice, irp);
}

// PASSIVE_LEVEL: waits.
NTSTATUS KPnpDevice::ForwardAndWait(PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
    IofCallDriver(lowerDevice, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS KPnpDevice::HandleStartDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(irp);
    if (NT_SUCCESS(status)) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        status = StartDevice(FirstPartialList(sp->Parameters.StartDevice.AllocatedResources),
                             FirstPartialList(sp->Parameters.StartDevice.AllocatedResourcesTranslated));
    }
    if (NT_SUCCESS(status)) {
        started = true;
        SetInterfacesState(true);
        pnpState = Working;
        allowAllRequests();
        restartAllRequests();
        SetWakeArming(WakeRearm);
    }
    return CompleteRequest(irp, status);
}

NTSTATUS KPnpDevice::HandleQueryStopDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (pnpState == Working) {
        if (!OkToStop(irp))
            return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
        stallAllRequests();
        CancelOutstandingIo();
        waitForCurrentRequests();
        pnpState = PendingStop;
    }
    return Forward(irp);
}

NTSTATUS KPnpDevice::HandleCancelStopDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (pnpState != PendingStop)
        return Forward(irp);
    NTSTATUS status = ForwardAndWait(irp);
    if (NT_SUCCESS(status)) {
        pnpState = Working;
        restartAllRequests();
    }
    return CompleteRequest(irp, status);
}

NTSTATUS KPnpDevice::HandleStopDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    // After a successful query the queues are stalled and keep their
    // requests for the next start; otherwise they are emptied now. A running
    // device is stalled as a query would have done, so that the next start's
    // restart finds the count it expects.
    if (pnpState != PendingStop) {
        if (pnpState == Working)
            stallAllRequests();
        abortAllRequests(STATUS_DELETE_PENDING);
        KIrpHolder::CancelHeldRequests(deviceObject, false);
    }
    SetWakeArming(WakeDisable);
    StopDevice(started);
    pnpState = Stopped;
    return Forward(irp);
}

NTSTATUS KPnpDevice::HandleQueryRemoveDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (pnpState == Working) {
        if (!OkToRemove(irp))
            return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
        stallAllRequests();
        CancelOutstandingIo();
        waitForCurrentRequests();
        queryRemoveStalled = true;
    }
    // A repeated query finds the device pending removal already: a cancel
    // returns to the state before the first query.
    if (pnpState != PendingRemove) {
        previousPnpState = pnpState;
        pnpState = PendingRemove;
    }
    return Forward(irp);
}

NTSTATUS KPnpDevice::HandleCancelRemoveDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (pnpState != PendingRemove)
        return Forward(irp);
    NTSTATUS status = ForwardAndWait(irp);
    if (NT_SUCCESS(status)) {
        pnpState = previousPnpState;
        if (queryRemoveStalled)
            restartAllRequests();
        queryRemoveStalled = false;
    }
    return CompleteRequest(irp, status);
}

NTSTATUS KPnpDevice::HandleSurpriseRemoval(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    abortAllRequests(STATUS_DELETE_PENDING);
    KIrpHolder::CancelHeldRequests(deviceObject, true);
    pnpState = SurpriseRemoved;
    SetInterfacesState(false);
    // The device is gone: WMI must stop asking it now, not when the removal
    // that follows destroys it.
    DeregisterWmi();
    SetWakeArming(WakeDisable);
    StopDevice(started);
    return Forward(irp);
}

NTSTATUS KPnpDevice::HandleRemoveDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    abortAllRequests(STATUS_DELETE_PENDING);
    KIrpHolder::CancelHeldRequests(deviceObject, true);
    SetInterfacesState(false);
    SetWakeArming(WakeDisable);
    StopDevice(started);
    pnpState = Removed;
    NTSTATUS status = Forward(irp);
    // Once for this request, once for the count the lock started with.
    removeLock.removing = true;
    ReleaseRemoveLock();
    ReleaseRemoveLock();
    KeWaitForSingleObject(&removeLock.event, Executive, KernelMode, FALSE, nullptr);
    delete this;
    return status;
}

NTSTATUS KPnpDevice::HandleQueryDeviceRelations(PIRP irp) { return Forward(irp); }

NTSTATUS KPnpDevice::HandleQueryCapabilities(PIRP irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version == 0)
        return Forward(irp);
    ForceSurpriseRemovalOk(caps, surpriseRemovalOk);
    AdjustCapabilities(caps, true);
    NTSTATUS status = ForwardAndWait(irp);
    if (NT_SUCCESS(status)) {
        ForceSurpriseRemovalOk(caps, surpriseRemovalOk);
        AdjustCapabilities(caps, false);
        FixUpCapabilities(caps);
        RtlCopyMemory(&capabilities, caps, sizeof(DEVICE_CAPABILITIES));
        SetWakeArming(WakeRearm);
    }
    return CompleteRequest(irp, status);
}

NTSTATUS KPnpDevice::HandleQueryPnpDeviceState(PIRP irp)
{
    LONG bits = InterlockedExchange(&reportMask, 0);
    if (bits) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = (irp->IoStatus.Information & ~static_cast<ULONG_PTR>(bits)) |
                                    static_cast<ULONG_PTR>(reportFlags & bits);
    }
    return Forward(irp);
}

void KPnpDevice::AdjustCapabilities(PDEVICE_CAPABILITIES, bool) {}
bool KPnpDevice::OkToStop(PIRP) { return true; }
bool KPnpDevice::OkToRemove(PIRP) { return true; }
NTSTATUS KPnpDevice::StartDevice(PCM_PARTIAL_RESOURCE_LIST, PCM_PARTIAL_RESOURCE_LIST) { return STATUS_UNSUCCESSFUL; }
void KPnpDevice::StopDevice(bool) {}
