// Requests sent by simulated callers: open, close and any IRP to a device.
#include <cstdlib>

#include "io/IoManager.h"
#include "ob/Namespace.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

namespace plat {

PIRP AllocateCallerIrp(CCHAR stackSize, PendingRequest *request, PVOID outputBuffer, ULONG outputLength,
                       bool copyOutput);

struct RequestSender {
    static PendingRequest *Start(PFILE_OBJECT file, const Request &request, PDEVICE_OBJECT device);
    static void Finish(PendingRequest *request)
    {
        request->done_ = true;
        KeSetEvent(&request->finished_, 0, FALSE);
    }
};

namespace {

// The SIDs an identity holds, by their SDDL abbreviations.
bool Holds(CallerIdentity identity, std::u16string_view sid)
{
    if (sid == u"WD")
        return true;
    switch (identity) {
    case CallerIdentity::System:
        return sid == u"SY" || sid == u"BA" || sid == u"AU";
    case CallerIdentity::Administrator:
        return sid == u"BA" || sid == u"AU" || sid == u"BU" || sid == u"IU";
    case CallerIdentity::User:
        return sid == u"AU" || sid == u"BU" || sid == u"IU";
    }
    return false;
}

// Grants access when an allow ACE of the discretionary ACL names a SID the
// caller holds. Only the ACE shape "(A;;rights;;;SID)" is understood.
bool AccessAllowed(const std::u16string &sddl, CallerIdentity identity)
{
    if (sddl.empty())
        return true;
    size_t pos = 0;
    while ((pos = sddl.find(u'(', pos)) != std::u16string::npos) {
        size_t end = sddl.find(u')', pos);
        if (end == std::u16string::npos)
            return false;
        std::u16string ace = sddl.substr(pos + 1, end - pos - 1);
        size_t lastSemicolon = ace.rfind(u';');
        if (ace.rfind(u"A;", 0) == 0 && lastSemicolon != std::u16string::npos &&
            Holds(identity, std::u16string_view(ace).substr(lastSemicolon + 1)))
            return true;
        pos = end + 1;
    }
    return false;
}

struct FileRecord {
    FILE_OBJECT object;
    std::u16string name;
};

}  // namespace

PendingRequest *RequestSender::Start(PFILE_OBJECT file, const Request &request, PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT target = TopOfStack(file ? file->DeviceObject : device);
    auto *pending = new PendingRequest;
    KeInitializeEvent(&pending->finished_, NotificationEvent, FALSE);

    UCHAR major = request.major;
    ULONG inputLength = static_cast<ULONG>(request.input.size());
    ULONG outputLength = request.outputLength;
    bool deviceControl = major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    ULONG method = deviceControl ? (request.ioControlCode & 3) : METHOD_BUFFERED;
    bool buffered = (deviceControl && method == METHOD_BUFFERED) ||
                    ((major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_QUERY_INFORMATION ||
                      major == IRP_MJ_SET_INFORMATION) && (target->Flags & DO_BUFFERED_IO)) ||
                    major == IRP_MJ_QUERY_INFORMATION || major == IRP_MJ_SET_INFORMATION;
    if (major == IRP_MJ_READ)
        outputLength = request.outputLength;

    // The caller's buffer: input first, room for the output after it.
    ULONG bufferSize = inputLength > outputLength ? inputLength : outputLength;
    void *userBuffer = bufferSize ? std::calloc(1, bufferSize) : nullptr;
    if (inputLength)
        memcpy(userBuffer, request.input.data(), inputLength);

    PIRP irp = AllocateCallerIrp(target->StackSize, pending, buffered ? nullptr : userBuffer,
                                 buffered ? outputLength : bufferSize, buffered);
    pending->irp_ = irp;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    if (buffered) {
        irp->AssociatedIrp.SystemBuffer = userBuffer;
        irp->UserBuffer = nullptr;
    } else {
        irp->UserBuffer = userBuffer;
        if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
            if (target->Flags & DO_DIRECT_IO && userBuffer) {
                irp->MdlAddress = IoAllocateMdl(userBuffer, bufferSize, FALSE, FALSE, nullptr);
                MmBuildMdlForNonPagedPool(irp->MdlAddress);
            }
        }
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = request.minor;
    sp->FileObject = file;
    switch (major) {
    case IRP_MJ_CREATE:
        sp->Parameters.Create.Options = request.createOptions;
        break;
    case IRP_MJ_READ:
        sp->Parameters.Read.Length = outputLength;
        break;
    case IRP_MJ_WRITE:
        sp->Parameters.Write.Length = inputLength;
        break;
    case IRP_MJ_QUERY_INFORMATION:
        sp->Parameters.QueryFile.Length = outputLength;
        sp->Parameters.QueryFile.FileInformationClass = request.fileInformationClass;
        break;
    case IRP_MJ_SET_INFORMATION:
        sp->Parameters.SetFile.Length = inputLength;
        sp->Parameters.SetFile.FileInformationClass = request.fileInformationClass;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        sp->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        if (method == METHOD_NEITHER)
            sp->Parameters.DeviceIoControl.Type3InputBuffer = userBuffer;
        else if (method != METHOD_BUFFERED && userBuffer) {
            if (inputLength) {
                irp->AssociatedIrp.SystemBuffer = std::malloc(inputLength);
                memcpy(irp->AssociatedIrp.SystemBuffer, request.input.data(), inputLength);
            }
            irp->MdlAddress = IoAllocateMdl(userBuffer, bufferSize, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
        }
        break;
    default:
        break;
    }
    if (request.prepare)
        request.prepare(sp);
    irp->IoStatus.Status = STATUS_PENDING;
    irp->IoStatus.Information = request.initialInformation;
    if (major == IRP_MJ_POWER)
        MarkPowerCall();  // a test's power request stands for the power manager's
    pending->dispatchStatus_ = IofCallDriver(target, irp);
    return pending;
}

void RequestFinished(PendingRequest *request) { RequestSender::Finish(request); }

RequestResult PendingRequest::Wait()
{
    if (!done_)
        KeWaitForSingleObject(&finished_, Executive, UserMode, FALSE, nullptr);
    return result_;
}

bool PendingRequest::Cancel() { return !done_ && IoCancelIrp(irp_); }

PendingRequest *StartRequest(PFILE_OBJECT file, const Request &request, PDEVICE_OBJECT device)
{
    return RequestSender::Start(file, request, device);
}

RequestResult SendRequest(PFILE_OBJECT file, const Request &request, PDEVICE_OBJECT device)
{
    PendingRequest *pending = StartRequest(file, request, device);
    RequestResult result = pending->Wait();
    delete pending;
    return result;
}

NTSTATUS OpenDevice(std::u16string_view path, PFILE_OBJECT *file, ULONG createOptions)
{
    *file = nullptr;
    PDEVICE_OBJECT device = ResolveDevice(path);
    if (!device)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!AccessAllowed(HeaderOf(device)->sddl, CurrentThread()->identity))
        return STATUS_ACCESS_DENIED;
    if (NTSTATUS refused = CheckOpenable(device); !NT_SUCCESS(refused))
        return refused;
    auto *record = new FileRecord{};
    record->name = path;
    PFILE_OBJECT fo = &record->object;
    fo->Type = 5;
    fo->Size = sizeof(FILE_OBJECT);
    fo->DeviceObject = device;
    KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
    KeInitializeEvent(&fo->Lock, SynchronizationEvent, TRUE);
    Request create;
    create.major = IRP_MJ_CREATE;
    create.createOptions = createOptions;
    // The open file keeps its device object alive, deleted or not.
    ReferenceForOpen(device);
    RequestResult result = SendRequest(fo, create);
    if (!NT_SUCCESS(result.status)) {
        delete record;
        DereferenceForClose(device);
        return result.status;
    }
    *file = fo;
    return result.status;
}

NTSTATUS CloseDevice(PFILE_OBJECT file)
{
    Request cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    SendRequest(file, cleanup);
    Request close;
    close.major = IRP_MJ_CLOSE;
    RequestResult result = SendRequest(file, close);
    PDEVICE_OBJECT device = file->DeviceObject;
    delete reinterpret_cast<FileRecord *>(file);
    DereferenceForClose(device);
    return result.status;
}

}  // namespace plat
