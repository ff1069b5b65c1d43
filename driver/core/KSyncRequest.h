// A request the driver sends to a lower device and waits for. PASSIVE_LEVEL.
#pragma once

#include "Portability.h"

class KSyncRequest {
public:
    KSyncRequest();

    // Build a Plug and Play request (status preset to STATUS_NOT_SUPPORTED)
    // or an internal device-control request without buffers. False when the
    // IRP could not be built; irp is then null and nothing may be sent.
    bool BuildPnp(PDEVICE_OBJECT targetDevice, UCHAR minor);
    bool BuildInternalIoctl(ULONG code, PDEVICE_OBJECT targetDevice);
    // Where the caller stores further parameters before sending.
    PIO_STACK_LOCATION NextStackLocation() const { return IoGetNextIrpStackLocation(irp); }

    NTSTATUS Send();
    // Cancels the request when it has not completed after `milliseconds`,
    // then waits for the cancelled request to finish.
    NTSTATUS SendWithTimeout(ULONG milliseconds);

    KEVENT event;
    PDEVICE_OBJECT target;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
};
