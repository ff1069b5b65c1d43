// Requests a bus driver answers for its physical device objects.
#include "pnp/PhysicalDevice.h"

#include <cstring>

#include "cm/Hive.h"
#include "io/IoManager.h"
#include "pnp/PnpManager.h"

namespace plat {
namespace {

constexpr ULONG kBusTag = 0x20737542;  // "Bus "

}  // namespace

PhysicalDevice::PhysicalDevice()
{
    KeInitializeTimerEx(&resumeTimer_, NotificationTimer);
    KeInitializeDpc(&resumeDpc_, ResumeDone, this);
    KeInitializeTimerEx(&wakeTimer_, NotificationTimer);
    KeInitializeDpc(&wakeDpc_, WakeSignalled, this);
}

PhysicalDevice::~PhysicalDevice()
{
    KeCancelTimer(&resumeTimer_);
    KeRemoveQueueDpc(&resumeDpc_);
    KeCancelTimer(&wakeTimer_);
    KeRemoveQueueDpc(&wakeDpc_);
}

NTSTATUS PhysicalDevice::Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PhysicalDevice::Dispatch(PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return InternalDeviceControl(irp);
    case IRP_MJ_PNP:
        return Pnp(irp);
    case IRP_MJ_POWER:
        return Power(irp);
    case IRP_MJ_SYSTEM_CONTROL: {
        // Not a WMI provider: the request goes back as it came.
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS PhysicalDevice::InternalDeviceControl(PIRP irp) { return Complete(irp, STATUS_NOT_SUPPORTED); }

void PhysicalDevice::FillCapabilities(DEVICE_CAPABILITIES &caps)
{
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
        caps.DeviceState[s] = PowerDeviceD3;
    caps.SystemWake = PowerSystemUnspecified;
    caps.DeviceWake = PowerDeviceUnspecified;
    caps.SilentInstall = 1;
    caps.UniqueID = 0;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
}

void PhysicalDevice::Disconnect() { FinishWaitWake(STATUS_NO_SUCH_DEVICE); }

NTSTATUS PhysicalDevice::Pnp(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
            return Complete(irp, STATUS_UNSUCCESSFUL);
        FillCapabilities(*caps);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        Disconnect();
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID:
        return QueryId(irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            // The one relation a PDO answers itself: the PDO, referenced for
            // the asker.
            auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kBusTag));
            if (!relations)
                return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 1;
            relations->Objects[0] = pdo;
            ObReferenceObject(pdo);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            return Complete(irp, STATUS_SUCCESS);
        }
        break;
    default:
        break;
    }
    // A bus driver leaves the status of requests it does not handle alone.
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The IDs of the device node, from what its key says (as the root enumerator
// keeps them), as a paged-pool string the asker frees: the device ID and the
// instance ID from the instance path, the hardware and compatible IDs as
// multi-strings.
std::u16string PhysicalDevice::Id(BUS_QUERY_ID_TYPE type) const
{
    DeviceNode *node = HeaderOf(pdo)->node;
    if (!node)
        return {};
    size_t split = node->instancePath.find_last_of(u'\\');
    auto multi = [node](const char16_t *value) {
        std::u16string out;
        if (auto list = cm::Registry().GetMultiString(node->EnumKeyPath(), value))
            for (const auto &id : *list)
                out += id + u'\0';
        return out.empty() ? out : out + u'\0';
    };
    switch (type) {
    case BusQueryDeviceID:
        return node->instancePath.substr(0, split) + u'\0';
    case BusQueryInstanceID:
        return node->instancePath.substr(split + 1) + u'\0';
    case BusQueryHardwareIDs:
        return multi(u"HardwareID");
    case BusQueryCompatibleIDs:
        return multi(u"CompatibleIDs");
    default:
        return {};
    }
}

NTSTATUS PhysicalDevice::QueryId(PIRP irp)
{
    std::u16string id = Id(IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType);
    if (id.empty()) {
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    SIZE_T bytes = id.size() * sizeof(char16_t);
    auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kBusTag));
    if (!buffer)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    memcpy(buffer, id.data(), bytes);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS PhysicalDevice::Power(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return WaitWake(irp);
    case IRP_MN_SET_POWER:
        if (sp->Parameters.Power.Type == DevicePowerState) {
            DEVICE_POWER_STATE wanted = sp->Parameters.Power.State.DeviceState;
            if (wanted == PowerDeviceD0 && devicePower != PowerDeviceD0 && ResumeMilliseconds() && !resuming_) {
                // The hardware takes a while to resume; the request ends
                // from a timer.
                IoMarkIrpPending(irp);
                resuming_ = irp;
                LARGE_INTEGER due;
                due.QuadPart = -10000LL * ResumeMilliseconds();
                KeSetTimerEx(&resumeTimer_, due, 0, &resumeDpc_);
                return STATUS_PENDING;
            }
            devicePower = wanted;
            PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
        }
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    default: {
        PoStartNextPowerIrp(irp);
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// DISPATCH_LEVEL: the device is back in D0.
VOID PhysicalDevice::ResumeDone(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *self = static_cast<PhysicalDevice *>(context);
    PIRP irp = self->resuming_;
    self->resuming_ = nullptr;
    if (!irp)
        return;
    self->devicePower = PowerDeviceD0;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(self->pdo, DevicePowerState, d0);
    PoStartNextPowerIrp(irp);
    self->Complete(irp, STATUS_SUCCESS);
}

NTSTATUS PhysicalDevice::WaitWake(PIRP irp)
{
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    FillCapabilities(caps);
    PoStartNextPowerIrp(irp);
    if (caps.DeviceWake == PowerDeviceUnspecified || caps.SystemWake == PowerSystemUnspecified)
        return Complete(irp, STATUS_NOT_SUPPORTED);
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState > caps.SystemWake)
        return Complete(irp, STATUS_INVALID_DEVICE_STATE);
    if (waitWake_ || !present)
        return Complete(irp, waitWake_ ? STATUS_DEVICE_BUSY : STATUS_NO_SUCH_DEVICE);
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    waitWake_ = irp;
    IoSetCancelRoutine(irp, CancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        waitWake_ = nullptr;
        Complete(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

void PhysicalDevice::FinishWaitWake(NTSTATUS status)
{
    PIRP irp = waitWake_;
    if (!irp || !IoSetCancelRoutine(irp, nullptr))
        return;  // none, or its cancel routine is about to complete it
    waitWake_ = nullptr;
    Complete(irp, status);
}

bool PhysicalDevice::SignalWake()
{
    bool pending = waitWake_ != nullptr;
    FinishWaitWake(STATUS_SUCCESS);
    return pending;
}

void PhysicalDevice::SignalWakeAfter(ULONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * ms;
    KeSetTimerEx(&wakeTimer_, due, 0, &wakeDpc_);
}

// DISPATCH_LEVEL.
VOID PhysicalDevice::WakeSignalled(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<PhysicalDevice *>(context)->SignalWake();
}

// DISPATCH_LEVEL, cancel spin lock held on entry.
VOID PhysicalDevice::CancelWaitWake(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto *self = static_cast<PhysicalDevice *>(irp->Tail.Overlay.DriverContext[0]);
    if (self->waitWake_ == irp)
        self->waitWake_ = nullptr;
    irp->IoStatus.Information = 0;
    self->Complete(irp, STATUS_CANCELLED);
}

}  // namespace plat
