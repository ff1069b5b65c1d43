// Base of every device object of the driver: the object lives in the device
// object's extension and decides how each kind of request is handled.
#pragma once

#include <new>

#include "KIrpQueue.h"
#include "KSymbolicLink.h"
#include "KUnicodeString.h"

// What the creation step hands to the constructor of the object it made room for.
struct KDeviceCreation {
    PDRIVER_OBJECT driverObject;
    PDEVICE_OBJECT deviceObject;
    KUnicodeString *creationName;

private:
    static VOID StartNextDpcRoutine(PKDPC dpc, PVOID context, PVOID, PVOID);
};

constexpr ULONG kSignatureDeviceObject = 0xABCD0000;
constexpr ULONG kSignaturePnpDevice = 0xABCD8000;
constexpr ULONG kSignatureUsbDevice = 0xABCDC000;

class KDeviceObject {
public:
    explicit KDeviceObject(const KDeviceCreation &creation);
    virtual ~KDeviceObject();
    KDeviceObject(const KDeviceObject &) = delete;
    KDeviceObject &operator=(const KDeviceObject &) = delete;

    // Deleting destructor: runs the destructors, then deletes the device
    // object, which releases the object's storage.
    void operator delete(KDeviceObject *object, std::destroying_delete_t);

    virtual void CancelOutstandingIo();
    virtual NTSTATUS DispatchCreate(PIRP irp);
    virtual NTSTATUS DispatchCreateNamedPipe(PIRP irp);
    virtual NTSTATUS DispatchClose(PIRP irp);
    virtual NTSTATUS DispatchRead(PIRP irp);
    virtual NTSTATUS DispatchWrite(PIRP irp);
    virtual NTSTATUS DispatchQueryInformation(PIRP irp);
    virtual NTSTATUS DispatchSetInformation(PIRP irp);
    virtual NTSTATUS DispatchQueryEa(PIRP irp);
    virtual NTSTATUS DispatchSetEa(PIRP irp);
    virtual NTSTATUS DispatchFlushBuffers(PIRP irp);
    virtual NTSTATUS DispatchQueryVolumeInformation(PIRP irp);
    virtual NTSTATUS DispatchSetVolumeInformation(PIRP irp);
    virtual NTSTATUS DispatchDirectoryControl(PIRP irp);
    virtual NTSTATUS DispatchFileSystemControl(PIRP irp);
    virtual NTSTATUS DispatchDeviceControl(PIRP irp);
    virtual NTSTATUS DispatchInternalDeviceControl(PIRP irp);
    virtual NTSTATUS DispatchShutdown(PIRP irp);
    virtual NTSTATUS DispatchLockControl(PIRP irp);
    virtual NTSTATUS DispatchCleanup(PIRP irp);
    virtual NTSTATUS DispatchCreateMailslot(PIRP irp);
    virtual NTSTATUS DispatchQuerySecurity(PIRP irp);
    virtual NTSTATUS DispatchSetSecurity(PIRP irp);
    virtual NTSTATUS DispatchPower(PIRP irp);
    virtual NTSTATUS DispatchSystemControl(PIRP irp);
    virtual NTSTATUS DispatchDeviceChange(PIRP irp);
    virtual NTSTATUS DispatchQueryQuota(PIRP irp);
    virtual NTSTATUS DispatchSetQuota(PIRP irp);
    virtual NTSTATUS DispatchPnp(PIRP irp);
    virtual NTSTATUS CompleteInitialization();

    // Completes the request with STATUS_NOT_SUPPORTED, Information unchanged.
    NTSTATUS DispatchUnsupported(PIRP irp);

    // The device's request queues. CreateQueues: PASSIVE_LEVEL, once; the
    // queues start stalled.
    NTSTATUS CreateQueues(ULONG count, KIrpQueue::StartRoutine start);
    KIrpQueue *Queue(ULONG index) const;
    void stallAllRequests();
    void restartAllRequests();
    // Fails every new request with status until allowAllRequests, calls
    // CancelOutstandingIo, then fails every waiting request with status.
    void abortAllRequests(NTSTATUS status);
    void allowAllRequests();
    // PASSIVE_LEVEL: waits until no queue has a current request.
    void waitForCurrentRequests();
    // Stalls every queue; STATUS_PENDING when target is told later that the
    // current requests are done, STATUS_SUCCESS when none is busy.
    NTSTATUS stallAndNotifyWhenIdle(KQueueIdleTarget *target);
    // Cancels the file's waiting and parked requests (cleanup).
    void cleanupForFile(PFILE_OBJECT fileObject);
    // Any IRQL up to DISPATCH_LEVEL: the queue's next request starts from the
    // start-next DPC.
    void requestStartNext(ULONG index);

    ULONG signature;
    PDRIVER_OBJECT driverObject;
    PDEVICE_OBJECT deviceObject;
    KUnicodeString deviceName;
    KSymbolicLink link;
    KIrpQueue **queues;
    ULONG queueCount;
    KDPC startNextDpc;
    volatile LONG pendingStartMask;
    KUnicodeString *creationName;

private:
    static VOID StartNextDpcRoutine(PKDPC dpc, PVOID context, PVOID, PVOID);
};

// Room for an object of objectSize in a new device object's extension.
// Failure raises the status. The caller constructs the object in the storage
// with the creation record; the object takes name's storage over. No device
// class's constructor can fail: what can fail belongs in
// CompleteInitialization, whose failure the creator undoes by deleting the
// whole object.
void *CreateDeviceObject(SIZE_T objectSize, PDRIVER_OBJECT driver, KUnicodeString &name, KDeviceCreation &creation);
void *CreateDeviceObjectSecure(SIZE_T objectSize, PDRIVER_OBJECT driver, KUnicodeString &name,
                               KDeviceCreation &creation);

// The one routine in every MajorFunction entry.
NTSTATUS DriverDispatch(PDEVICE_OBJECT device, PIRP irp);
