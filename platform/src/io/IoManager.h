// I/O manager internals: the platform's private headers of device objects
// and IRPs, driver objects, and the request API that simulated callers (tests,
// the Win32 layer, the simulator) use to send requests to a device.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

#include "ke/Scheduler.h"

namespace plat {

struct DeviceNode;

// Lives in front of every DEVICE_OBJECT the platform creates.
struct DeviceHeader {
    ULONG magic;
    std::u16string name;
    std::u16string sddl;          // empty: open to everybody
    GUID classGuid{};
    bool hasClassGuid = false;
    PDEVICE_OBJECT lower = nullptr;  // device this one is attached to
    DeviceNode *node = nullptr;      // for physical device objects
    SIZE_T extensionSize = 0;
    // Power requests the power manager serialises at this device object:
    // one system request (set or query) and one device set-power request
    // at a time; PoStartNextPowerIrp at this device lets the next go.
    PIRP powerActive[2] = {};
    std::deque<PIRP> powerWaiting[2];
    // What PoSetPowerState was last told.
    DEVICE_POWER_STATE devicePowerState = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPowerState = PowerSystemWorking;
    // Pointer references (ObReferenceObject, queued work items); open file
    // objects are counted in the object's own ReferenceCount. A deleted
    // device lives on, nameless, until both are zero.
    LONG pointerReferences = 0;
    bool deletePending = false;
    // The stack was surprise-removed: no new open succeeds.
    bool removePending = false;
};

DeviceHeader *HeaderOf(PDEVICE_OBJECT device);
// Called with a file object's device after its IRP_MJ_CLOSE: the open
// handles of a stack the Plug and Play manager waits on may be all closed.
// The device may be gone by then; the observer only compares the address.
void SetHandleClosedObserver(std::function<void(PDEVICE_OBJECT)> observer);
// Open file objects of the devices of the stack that `device` belongs to.
LONG StackOpenCount(PDEVICE_OBJECT device);
// Marks each device of the stack surprise-removed.
void MarkStackRemovePending(PDEVICE_OBJECT device);
// The I/O manager's side of a file object: its device's open count, and
// whether a new open may reach the device at all.
void ReferenceForOpen(PDEVICE_OBJECT device);
void DereferenceForClose(PDEVICE_OBJECT device);
NTSTATUS CheckOpenable(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
std::vector<PDEVICE_OBJECT> LiveDevices();
// A device object of the platform's own drivers: never subject to injected faults.
PDEVICE_OBJECT CreatePlatformDevice(PDRIVER_OBJECT driver, std::u16string_view name, ULONG type);
// Called with each device object just before IoDeleteDevice frees it.
void SetDeviceDeletionObserver(std::function<void(PDEVICE_OBJECT)> observer);

enum class IrpOrigin {
    Allocated,      // IoAllocateIrp: its owner frees it
    Asynchronous,   // IoBuildAsynchronousFsdRequest: its owner frees it
    Threaded,       // IoBuildSynchronousFsdRequest, IoBuildDeviceIoControlRequest
    Caller,         // SendRequest: a simulated caller waits for it
    Platform,       // the platform's own managers (Plug and Play, power, WMI)
};

// A request of the platform's own managers: `finished` runs when completion
// passes the top of the stack; the I/O manager frees the IRP afterwards.
using PlatformIrpFinish = std::function<void(PIRP irp)>;
PIRP AllocatePlatformIrp(CCHAR stackSize, PlatformIrpFinish finished);
// A request of the platform's own managers, sent to the top of the device's
// stack from a simulated thread at PASSIVE_LEVEL and waited for. It starts
// with STATUS_NOT_SUPPORTED and `information`, as Windows sends its own;
// prepare fills the first stack location. Returns the final status block.
IO_STATUS_BLOCK SendPlatformRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                                    const std::function<void(PIO_STACK_LOCATION)> &prepare,
                                    ULONG_PTR information = 0);
// PoStartNextPowerIrp: the verifier's record, and the next serialised power
// request waiting at the device goes.
void NotePowerStartNext(PIRP irp);
// The next IofCallDriver of the calling thread comes from PoCallDriver (or
// from the platform's own power requests), as power requests must.
void MarkPowerCall();
// Live IRPs still at the device: dispatched to it and not yet completed back
// past it.
size_t IrpsHeldAt(PDEVICE_OBJECT device);

// Driver objects: created for loaded driver images and for the platform's
// own bus drivers.
PDRIVER_OBJECT CreateDriverObject(std::u16string_view driverName, std::u16string_view serviceName);
void DeleteDriverObject(PDRIVER_OBJECT driver);

// The WDM version IoIsWdmVersionAvailable reports.
void SetWdmVersion(UCHAR major, UCHAR minor);
size_t LiveIrpCount();
// Tests make IRP allocation fail with FailPoolTag on this tag ("Irp ").
constexpr ULONG kIrpTag = 0x20707249;

// A request as a simulated caller sends it.
struct Request {
    UCHAR major = IRP_MJ_CREATE;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    std::vector<UCHAR> input;
    ULONG outputLength = 0;
    ULONG createOptions = 0;
    FILE_INFORMATION_CLASS fileInformationClass = FileStandardInformation;
    // IoStatus.Information as the request starts, to see who changes it.
    ULONG_PTR initialInformation = 0;
    // Lets a test fill stack parameters the fields above do not cover.
    std::function<void(PIO_STACK_LOCATION)> prepare;
};

struct RequestResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output;
};

// An outstanding request; the IRP is freed by the I/O manager when it
// completes. Wait blocks the calling simulated thread until then.
class PendingRequest {
public:
    bool Done() const { return done_; }
    const RequestResult &Result() const { return result_; }
    RequestResult Wait();
    // IoCancelIrp on the request while it is outstanding; false when it has
    // already completed or had no cancel routine.
    bool Cancel();
    PIRP Irp() const { return done_ ? nullptr : irp_; }

private:
    friend struct RequestSender;
    PIRP irp_ = nullptr;
    bool done_ = false;
    KEVENT finished_{};
    RequestResult result_;
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
};

// Called by the I/O manager when a caller's request has finished.
void RequestFinished(PendingRequest *request);

// Opens the device that `path` names (following links), as a caller with the
// current thread's identity: the device's security descriptor is checked,
// then IRP_MJ_CREATE is sent to the top of its stack.
NTSTATUS OpenDevice(std::u16string_view path, PFILE_OBJECT *file, ULONG createOptions = 0);
// IRP_MJ_CLEANUP then IRP_MJ_CLOSE; frees the file object.
NTSTATUS CloseDevice(PFILE_OBJECT file);
// Sends a request to the top of the file's stack (or to `device` directly
// when file is null) and waits for it.
RequestResult SendRequest(PFILE_OBJECT file, const Request &request, PDEVICE_OBJECT device = nullptr);
// Starts a request without waiting; the caller owns the returned object.
PendingRequest *StartRequest(PFILE_OBJECT file, const Request &request, PDEVICE_OBJECT device = nullptr);

// Debugger output and error-log entries, in order.
struct ErrorLogEntry {
    NTSTATUS errorCode;
    std::vector<std::u16string> strings;
    std::u16string deviceName;
    size_t size;
};
const std::vector<std::string> &DebuggerOutput();
const std::vector<ErrorLogEntry> &ErrorLog();
void ResetDiagnostics();

}  // namespace plat
