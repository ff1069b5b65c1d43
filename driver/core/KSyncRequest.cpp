// KSyncRequest: building, sending and the timed send.
#include "KSyncRequest.h"

#include "Completion.h"

KSyncRequest::KSyncRequest() : target(nullptr), ioStatus{}, irp(nullptr)
{
    KeInitializeEvent(&event, NotificationEvent, FALSE);
}

bool KSyncRequest::BuildPnp(PDEVICE_OBJECT targetDevice, UCHAR minor)
{
    target = targetDevice;
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, target, nullptr, 0, nullptr, &event, &ioStatus);
    if (!irp)
        return false;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return true;
}

bool KSyncRequest::BuildInternalIoctl(ULONG code, PDEVICE_OBJECT targetDevice)
{
    target = targetDevice;
    irp = IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    return irp != nullptr;
}

// PASSIVE_LEVEL. The platform frees the IRP when it completes.
NTSTATUS KSyncRequest::Send()
{
    NTSTATUS rc = IofCallDriver(target, irp);
    if (rc == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return ioStatus.Status;
    }
    return rc;
}

// PASSIVE_LEVEL. The completion routine keeps the IRP, so that it can still
// be cancelled after the timeout; the final IofCompleteRequest hands it back
// to the platform, which frees it and signals the event once more.
NTSTATUS KSyncRequest::SendWithTimeout(ULONG milliseconds)
{
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS rc = IofCallDriver(target, irp);
    if (rc == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
    }
    ioStatus = irp->IoStatus;
    KeResetEvent(&event);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (NT_SUCCESS(rc))
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    irp = nullptr;
    return ioStatus.Status;
}
