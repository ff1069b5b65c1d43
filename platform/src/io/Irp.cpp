// IRPs: allocation, IofCallDriver, IofCompleteRequest, IoCancelIrp and the
// request builders.
//
// Every IRP is preceded by a private header that records who must free it and
// whether it is still live. Freed IRPs stay in a quarantine for a while with
// their header marked, so that a second completion of an IRP that the I/O
// manager already finished is reported instead of touching reused memory.
#include <cstdlib>
#include <deque>
#include <new>
#include <sstream>
#include <unordered_set>

#include <wmilib.h>

#include "ex/WorkQueue.h"
#include "io/IoManager.h"
#include "ke/Scheduler.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"
#include "wmi/Wmi.h"

namespace plat {

void NotePowerDispatch(PIRP irp, PDEVICE_OBJECT device);
void CheckDispatchReturn(PIRP irp, CCHAR level, NTSTATUS status, PDEVICE_OBJECT device);
void ReleasePowerChannel(PIRP irp, PDEVICE_OBJECT device, int channel);
NTSTATUS DispatchAt(PDEVICE_OBJECT device, PIRP irp, CCHAR level);
void CheckWmiRequestAllowed(PIRP irp, PDEVICE_OBJECT device);

namespace {

constexpr ULONG kIrpMagic = 0x20505249;  // "IRP "
constexpr ULONG kFreedIrpMagic = 0x44505249;
constexpr size_t kQuarantine = 2048;

struct alignas(16) IrpHeader {
    ULONG magic;
    IrpOrigin origin;
    // Set while IofCompleteRequest walks the stack; cleared while a completion
    // routine has the IRP and when it takes the IRP back with
    // STATUS_MORE_PROCESSING_REQUIRED.
    bool completing;
    // Counts IofCompleteRequest calls, so that a completion routine that
    // completed the IRP again itself is told apart from one that did not.
    unsigned completions;
    // For threaded requests: where the output of a buffered request goes.
    PVOID outputBuffer;
    ULONG outputLength;
    bool copyOutput;
    bool ownsSystemBuffer;
    PendingRequest *request;
    // Bit n: the dispatch routine given stack location n returned
    // STATUS_PENDING while the IRP was below it, before the location was
    // marked pending; checked when completion reaches location n.
    unsigned long long unmarkedPending;
    // Platform requests: run when completion passes the top of the stack.
    PlatformIrpFinish *finished;
    // Power requests: the devices that received the IRP, and whether each
    // called PoStartNextPowerIrp while the IRP was at it.
    static constexpr int kMaxPowerVisitors = 16;
    PDEVICE_OBJECT powerVisitors[kMaxPowerVisitors];
    bool powerStarted[kMaxPowerVisitors];
    int powerVisitorCount;
    // A power request that reached the physical device at the bottom.
    bool reachedPhysicalDevice;
};

struct IrpState {
    std::deque<IrpHeader *> quarantine;
    std::unordered_set<IrpHeader *> live;
    KSPIN_LOCK cancelLock = 0;
};

IrpState &irps()
{
    static IrpState s;
    return s;
}

IrpHeader *HeaderOfIrp(PIRP irp) { return reinterpret_cast<IrpHeader *>(irp) - 1; }

thread_local bool nextCallIsPowerCall = false;

std::string ToHex(NTSTATUS status)
{
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << static_cast<ULONG>(status);
    return out.str();
}

// The power manager's channel of a power request at a device: 0 for a
// system set or query, 1 for a device set-power request, -1 for a request it
// does not serialise (a device query, wait-wake, power sequence).
int PowerChannel(const IO_STACK_LOCATION *sp)
{
    if (sp->MajorFunction != IRP_MJ_POWER)
        return -1;
    if (sp->Parameters.Power.Type == SystemPowerState &&
        (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER))
        return 0;
    if (sp->Parameters.Power.Type == DevicePowerState && sp->MinorFunction == IRP_MN_SET_POWER)
        return 1;
    return -1;
}

bool CheckLive(PIRP irp, const char *routine)
{
    IrpHeader *h = HeaderOfIrp(irp);
    if (h->magic == kIrpMagic)
        return true;
    VerifierFail("IRP", std::string(routine) +
                            (h->magic == kFreedIrpMagic ? ": IRP already completed and freed (completed twice?)"
                                                        : ": not an IRP"));
    return false;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin)
{
    USHORT size = IoSizeOfIrp(stackSize);
    auto *memory = static_cast<unsigned char *>(std::aligned_alloc(16, (sizeof(IrpHeader) + size + 15) & ~size_t(15)));
    auto *h = new (memory) IrpHeader{};
    h->magic = kIrpMagic;
    h->origin = origin;
    auto *irp = reinterpret_cast<PIRP>(h + 1);
    IoInitializeIrp(irp, size, stackSize);
    irps().live.insert(h);
    return irp;
}

void ReleaseIrpMemory(PIRP irp)
{
    IrpHeader *h = HeaderOfIrp(irp);
    h->magic = kFreedIrpMagic;
    irps().live.erase(h);
    delete h->finished;
    h->finished = nullptr;
    irps().quarantine.push_back(h);
    if (irps().quarantine.size() > kQuarantine) {
        std::free(irps().quarantine.front());
        irps().quarantine.pop_front();
    }
}

void FreeIrpBuffers(PIRP irp)
{
    IrpHeader *h = HeaderOfIrp(irp);
    if (h->ownsSystemBuffer && irp->AssociatedIrp.SystemBuffer) {
        std::free(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (irp->MdlAddress) {
        PMDL next = irp->MdlAddress->Next;
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
}

// Bytes of output a finished request hands back to its caller: none after an
// error, else what the driver reported, at most the caller's buffer.
ULONG_PTR OutputBytes(PIRP irp, const IrpHeader *h)
{
    if (NT_ERROR(irp->IoStatus.Status))
        return 0;
    return irp->IoStatus.Information < h->outputLength ? irp->IoStatus.Information : h->outputLength;
}

// The I/O manager's own end of a request that reached the top of its stack.
// Output is copied back unless the status is an error: a warning such as
// STATUS_BUFFER_OVERFLOW returns the part of the data that fitted.

void CheckPowerStarted(PIRP irp)
{
    IrpHeader *h = HeaderOfIrp(irp);
    // The platform's first stack location still has the request's parameters.
    const IO_STACK_LOCATION *first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
    if (first->MajorFunction != IRP_MJ_POWER)
        return;
    int channel = PowerChannel(first);
    for (int i = 0; i < h->powerVisitorCount; ++i)
        if (!h->powerStarted[i]) {
            VerifierFail("power", "a power request passed '" + ToUtf8(HeaderOf(h->powerVisitors[i])->name) +
                                      "' (driver '" + ToUtf8(&h->powerVisitors[i]->DriverObject->DriverName) +
                                      "') without PoStartNextPowerIrp");
            // Reported once; the requests waiting behind it still go.
            if (channel >= 0)
                ReleasePowerChannel(irp, h->powerVisitors[i], channel);
        }
    if (first->MinorFunction == IRP_MN_SET_POWER && first->Parameters.Power.Type == SystemPowerState) {
        if (!NT_SUCCESS(irp->IoStatus.Status))
            VerifierFail("power", "a system set-power request was failed with status " +
                                      ToHex(irp->IoStatus.Status) + ": no driver may fail one");
        else if (!h->reachedPhysicalDevice)
            VerifierFail("power", "a system set-power request was completed before it reached the physical "
                                  "device at the bottom of its stack");
    }
}

void FinishIrp(PIRP irp)
{
    IrpHeader *h = HeaderOfIrp(irp);
    CheckPowerStarted(irp);
    switch (h->origin) {
    case IrpOrigin::Platform: {
        PlatformIrpFinish *finished = h->finished;
        h->finished = nullptr;
        (*finished)(irp);
        delete finished;
        FreeIrpBuffers(irp);
        ReleaseIrpMemory(irp);
        return;
    }
    case IrpOrigin::Allocated:
    case IrpOrigin::Asynchronous:
        VerifierFail("IRP", "an IRP from IoAllocateIrp or IoBuildAsynchronousFsdRequest completed past the "
                            "top of its stack: its owner must free it from a completion routine that returns "
                            "STATUS_MORE_PROCESSING_REQUIRED");
        return;
    case IrpOrigin::Threaded:
        if (h->copyOutput && h->outputBuffer && irp->AssociatedIrp.SystemBuffer)
            memcpy(h->outputBuffer, irp->AssociatedIrp.SystemBuffer, OutputBytes(irp, h));
        if (irp->UserIosb)
            *irp->UserIosb = irp->IoStatus;
        FreeIrpBuffers(irp);
        {
            PKEVENT event = irp->UserEvent;
            ReleaseIrpMemory(irp);
            if (event)
                KeSetEvent(event, 0, FALSE);
        }
        return;
    case IrpOrigin::Caller: {
        PendingRequest *request = h->request;
        RequestResult &result = const_cast<RequestResult &>(request->Result());
        result.status = irp->IoStatus.Status;
        result.information = irp->IoStatus.Information;
        // Buffered requests return through the system buffer, the others
        // through the caller's own.
        auto *data = static_cast<UCHAR *>(h->copyOutput ? irp->AssociatedIrp.SystemBuffer : h->outputBuffer);
        if (data)
            result.output.assign(data, data + OutputBytes(irp, h));
        if (h->outputBuffer && !h->copyOutput)
            std::free(h->outputBuffer);
        FreeIrpBuffers(irp);
        ReleaseIrpMemory(irp);
        RequestFinished(request);
        return;
    }
    }
}

}  // namespace

size_t LiveIrpCount() { return irps().live.size(); }

void ResetIrps()
{
    for (IrpHeader *h : irps().quarantine)
        std::free(h);
    irps().quarantine.clear();
    irps().live.clear();
    irps().cancelLock = 0;
}

PIRP AllocatePlatformIrp(CCHAR stackSize, PlatformIrpFinish finished)
{
    PIRP irp = AllocateIrp(stackSize, IrpOrigin::Platform);
    HeaderOfIrp(irp)->finished = new PlatformIrpFinish(std::move(finished));
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    return irp;
}

IO_STATUS_BLOCK SendPlatformRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                                    const std::function<void(PIO_STACK_LOCATION)> &prepare, ULONG_PTR information)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFail("IRQL", "a request of the platform's managers sent above PASSIVE_LEVEL");
    PDEVICE_OBJECT top = TopOfStack(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK result{};
    PIRP irp = AllocatePlatformIrp(top->StackSize, [&](PIRP finished) {
        result = finished->IoStatus;
        KeSetEvent(&done, 0, FALSE);
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    if (prepare)
        prepare(sp);
    if (major == IRP_MJ_POWER)
        MarkPowerCall();
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return result;
}

void NotePowerStartNext(PIRP irp)
{
    if (!CheckLive(irp, "PoStartNextPowerIrp"))
        return;
    IrpHeader *h = HeaderOfIrp(irp);
    if (irp->CurrentLocation > irp->StackCount) {
        VerifierFail("power", "PoStartNextPowerIrp for a request no driver holds");
        return;
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT at = sp->DeviceObject;
    for (int i = 0; i < h->powerVisitorCount; ++i)
        if (h->powerVisitors[i] == at) {
            if (h->powerStarted[i]) {
                VerifierFail("power", "PoStartNextPowerIrp called twice for one power request at '" +
                                          ToUtf8(HeaderOf(at)->name) + "'");
                return;
            }
            h->powerStarted[i] = true;
        }
    int channel = PowerChannel(sp);
    if (channel >= 0)
        ReleasePowerChannel(irp, at, channel);
}

void MarkPowerCall() { nextCallIsPowerCall = true; }

// The serialised request `irp` is done with at `device`: the oldest request
// waiting there goes, from a system worker at PASSIVE_LEVEL, as the power
// manager passes on a request it held back.
void ReleasePowerChannel(PIRP irp, PDEVICE_OBJECT device, int channel)
{
    DeviceHeader *header = HeaderOf(device);
    if (!header || header->powerActive[channel] != irp)
        return;
    header->powerActive[channel] = nullptr;
    if (header->powerWaiting[channel].empty())
        return;
    PIRP next = header->powerWaiting[channel].front();
    header->powerWaiting[channel].pop_front();
    header->powerActive[channel] = next;
    QueuePlatformWork([device, next] {
        NotePowerDispatch(next, device);
        DispatchAt(device, next, next->CurrentLocation);
    });
}

// The device's dispatch routine gets the IRP at stack location `level`; what
// it returns is checked.
NTSTATUS DispatchAt(PDEVICE_OBJECT device, PIRP irp, CCHAR level)
{
    KIRQL irqlBefore = KeGetCurrentIrql();
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    NTSTATUS status = device->DriverObject->MajorFunction[major](device, irp);
    if (KeGetCurrentIrql() != irqlBefore)
        VerifierFail("IRQL", "dispatch routine of '" + ToUtf8(&device->DriverObject->DriverName) +
                                 "' returned at another IRQL than it was called at");
    CheckDispatchReturn(irp, level, status, device);
    return status;
}

size_t IrpsHeldAt(PDEVICE_OBJECT device)
{
    size_t held = 0;
    for (IrpHeader *h : irps().live) {
        auto *irp = reinterpret_cast<PIRP>(h + 1);
        for (CCHAR level = irp->CurrentLocation; level >= 1 && level <= irp->StackCount; ++level) {
            PIO_STACK_LOCATION sp = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
            if (sp->DeviceObject == device) {
                ++held;
                break;
            }
        }
    }
    return held;
}

// Shared with Request.cpp.
PIRP AllocateCallerIrp(CCHAR stackSize, PendingRequest *request, PVOID outputBuffer, ULONG outputLength,
                       bool copyOutput)
{
    PIRP irp = AllocateIrp(stackSize, IrpOrigin::Caller);
    IrpHeader *h = HeaderOfIrp(irp);
    h->request = request;
    h->outputBuffer = outputBuffer;
    h->outputLength = outputLength;
    h->copyOutput = copyOutput;
    h->ownsSystemBuffer = true;
    return irp;
}

// Power requests that the power manager serialises must be released by every
// driver they pass with PoStartNextPowerIrp; device objects that page their
// power code must receive them at PASSIVE_LEVEL.
void NotePowerDispatch(PIRP irp, PDEVICE_OBJECT device)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if ((device->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() > PASSIVE_LEVEL)
        VerifierFail("power", "power request sent above PASSIVE_LEVEL to '" + ToUtf8(HeaderOf(device)->name) +
                                  "', whose power code is pageable");
    IrpHeader *h = HeaderOfIrp(irp);
    if (!HeaderOf(device)->lower)
        h->reachedPhysicalDevice = true;
    if (sp->MinorFunction != IRP_MN_SET_POWER && sp->MinorFunction != IRP_MN_QUERY_POWER)
        return;
    if (h->powerVisitorCount < IrpHeader::kMaxPowerVisitors) {
        h->powerVisitors[h->powerVisitorCount] = device;
        h->powerStarted[h->powerVisitorCount] = false;
        ++h->powerVisitorCount;
    }
}

// A WMI data request entering a stack one of whose devices asked to block
// them: the WMI service must not send one.
void CheckWmiRequestAllowed(PIRP irp, PDEVICE_OBJECT device)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (next->MajorFunction != IRP_MJ_SYSTEM_CONTROL || next->MinorFunction == IRP_MN_REGINFO ||
        next->MinorFunction == IRP_MN_REGINFO_EX)
        return;
    for (PDEVICE_OBJECT d = device; d; d = HeaderOf(d)->lower)
        if (WmiRequestsBlocked(d)) {
            VerifierFail("WMI", "a WMI request was sent to '" + ToUtf8(HeaderOf(d)->name) +
                                    "' after it asked to block WMI requests");
            return;
        }
}

void ReportUnmarkedPending(PDEVICE_OBJECT device)
{
    VerifierFail("IRP", "dispatch routine of '" + ToUtf8(&device->DriverObject->DriverName) +
                            "' returned STATUS_PENDING without marking the IRP pending");
}

// Checks made when a dispatch routine returns to IofCallDriver. `level` is
// the stack location the routine was given.
void CheckDispatchReturn(PIRP irp, CCHAR level, NTSTATUS status, PDEVICE_OBJECT device)
{
    IrpHeader *h = HeaderOfIrp(irp);
    if (h->magic != kIrpMagic || h->completing)
        return;  // finished (freed) or being completed: nothing left to check
    if (status != STATUS_PENDING)
        return;
    PIO_STACK_LOCATION sp = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
    if ((sp->Control & SL_PENDING_RETURNED) || irp->CurrentLocation > level)
        return;
    // Passed down and still below: the routine may yet mark its location from
    // its completion routine (if (Irp->PendingReturned) IoMarkIrpPending), or
    // IofCompleteRequest does it for a routine that set none.
    if (irp->CurrentLocation < level && level < 64) {
        h->unmarkedPending |= 1ull << level;
        return;
    }
    ReportUnmarkedPending(device);
}

}  // namespace plat

using namespace plat;

extern "C" {

USHORT IoSizeOfIrp(CCHAR StackSize)
{
    return static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    if (TagFails(kIrpTag))
        return nullptr;
    PIRP irp = AllocateIrp(StackSize, IrpOrigin::Allocated);
    // What the I/O manager records of the allocation; IoReuseIrp keeps it.
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE | (ChargeQuota ? IRP_QUOTA_CHARGED : 0);
    return irp;
}

VOID IoFreeIrp(PIRP Irp)
{
    if (!CheckLive(Irp, "IoFreeIrp"))
        return;
    if (Irp->CancelRoutine)
        VerifierFail("IRP", "IoFreeIrp of an IRP that still has a cancel routine");
    FreeIrpBuffers(Irp);
    ReleaseIrpMemory(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    if (!CheckLive(Irp, "IoReuseIrp"))
        return;
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    HeaderOfIrp(Irp)->completing = false;
    HeaderOfIrp(Irp)->unmarkedPending = 0;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Scheduler::Get().SyncPoint();
    if (!CheckLive(Irp, "IofCallDriver"))
        return STATUS_INVALID_PARAMETER;
    if (Irp->CurrentLocation <= 1) {
        VerifierFail("IRP", "IofCallDriver: no stack location left for '" +
                                ToUtf8(&DeviceObject->DriverObject->DriverName) + "'");
        return STATUS_INVALID_PARAMETER;
    }
    bool powerCall = nextCallIsPowerCall;
    nextCallIsPowerCall = false;
    if (Irp->CurrentLocation == Irp->StackCount + 1)
        CheckWmiRequestAllowed(Irp, DeviceObject);
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    CCHAR level = Irp->CurrentLocation;
    if (sp->MajorFunction == IRP_MJ_POWER) {
        if (!powerCall)
            VerifierFail("power", "a power request was sent to '" + ToUtf8(HeaderOf(DeviceObject)->name) +
                                      "' with IoCallDriver instead of PoCallDriver");
        // Held back while another request of its kind is active at the
        // device: it is pending at the device until PoStartNextPowerIrp.
        int channel = PowerChannel(sp);
        DeviceHeader *header = HeaderOf(DeviceObject);
        if (channel >= 0 && header->powerActive[channel] && header->powerActive[channel] != Irp) {
            sp->Control |= SL_PENDING_RETURNED;
            header->powerWaiting[channel].push_back(Irp);
            return STATUS_PENDING;
        }
        if (channel >= 0)
            header->powerActive[channel] = Irp;
        NotePowerDispatch(Irp, DeviceObject);
    }
    return DispatchAt(DeviceObject, Irp, level);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    Scheduler::Get().SyncPoint();
    if (!CheckLive(Irp, "IofCompleteRequest"))
        return;
    IrpHeader *h = HeaderOfIrp(Irp);
    if (h->completing) {
        VerifierFail("IRP", "IofCompleteRequest of an IRP that is already being completed (completed twice)");
        return;
    }
    if (Irp->CancelRoutine) {
        VerifierFail("IRP", "IofCompleteRequest of an IRP that still has a cancel routine");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        VerifierFail("IRP", "IofCompleteRequest with status STATUS_PENDING");
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        VerifierFail("IRQL", "IofCompleteRequest above DISPATCH_LEVEL");
    h->completing = true;
    ++h->completions;
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
        unsigned long long bit = Irp->CurrentLocation < 64 ? 1ull << Irp->CurrentLocation : 0;
        if (h->unmarkedPending & bit) {
            h->unmarkedPending &= ~bit;
            if (!(sp->Control & SL_PENDING_RETURNED))
                ReportUnmarkedPending(sp->DeviceObject);
        }
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        UCHAR control = sp->Control;
        // The lower driver's location is finished with.
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        sp->Control = 0;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                        : nullptr;
            // While its routine runs the IRP is its owner's again: a power
            // callback of a request the routine makes may complete it at
            // once, before the routine returns STATUS_MORE_PROCESSING_REQUIRED.
            unsigned completions = h->completions;
            h->completing = false;
            NTSTATUS result = routine(device, Irp, context);
            bool completedAgain = h->magic != kIrpMagic || h->completions != completions;
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;  // the routine's owner has the IRP; it may be freed already
            if (completedAgain) {
                VerifierFail("IRP", "a completion routine completed its IRP again but did not return "
                                    "STATUS_MORE_PROCESSING_REQUIRED (completed twice)");
                return;
            }
            h->completing = true;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    FinishIrp(Irp);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&irps().cancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&irps().cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp)
{
    if (!CheckLive(Irp, "IoCancelIrp"))
        return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    // The routine releases the cancel spin lock.
    routine(device, Irp);
    return TRUE;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                   ULONG Length, PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (TagFails(kIrpTag))
        return nullptr;
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Asynchronous);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
    irp->UserIosb = IoStatusBlock;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        irp->UserBuffer = Buffer;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            irp->AssociatedIrp.SystemBuffer = Buffer;
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            irp->MdlAddress = IoAllocateMdl(Buffer, Length, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
        }
        sp->Parameters.Read.Length = Length;
        if (StartingOffset)
            sp->Parameters.Read.ByteOffset = *StartingOffset;
    }
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = IoBuildAsynchronousFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                                             IoStatusBlock);
    if (!irp)
        return nullptr;
    HeaderOfIrp(irp)->origin = IrpOrigin::Threaded;
    irp->UserEvent = Event;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (TagFails(kIrpTag))
        return nullptr;
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Threaded);
    IrpHeader *h = HeaderOfIrp(irp);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED: {
        ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size) {
            irp->AssociatedIrp.SystemBuffer = std::malloc(size);
            h->ownsSystemBuffer = true;
            if (InputBuffer && InputBufferLength)
                memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        }
        h->outputBuffer = OutputBuffer;
        h->outputLength = OutputBufferLength;
        h->copyOutput = OutputBuffer != nullptr;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBufferLength) {
            irp->AssociatedIrp.SystemBuffer = std::malloc(InputBufferLength);
            h->ownsSystemBuffer = true;
            memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        }
        if (OutputBuffer && OutputBufferLength) {
            irp->MdlAddress = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
        }
        break;
    case METHOD_NEITHER:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

}
