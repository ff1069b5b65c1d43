// Power requests and system power transitions.
#include "po/PowerManager.h"

#include <algorithm>
#include <vector>

#include "ex/WorkQueue.h"
#include "io/IoManager.h"
#include "ke/Scheduler.h"
#include "pnp/PnpManager.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

// Depth of a node in the device tree: root-enumerated nodes hang off the
// root, USB functions below the host controller and the hub.
int Depth(const DeviceNode &node) { return node.instancePath.rfind(u"USB\\", 0) == 0 ? 3 : 1; }

bool Powered(const DeviceNode &node)
{
    return node.state == NodeState::Started && node.Pdo() && node.Pdo()->AttachedDevice;
}

// Started stacks, children before parents.
std::vector<PDEVICE_OBJECT> StacksDeepestFirst()
{
    std::vector<const DeviceNode *> nodes;
    for (const auto &n : PnpManager::Get().Nodes())
        if (Powered(*n))
            nodes.push_back(n.get());
    std::stable_sort(nodes.begin(), nodes.end(),
                     [](const DeviceNode *a, const DeviceNode *b) { return Depth(*a) > Depth(*b); });
    std::vector<PDEVICE_OBJECT> pdos;
    for (const DeviceNode *n : nodes)
        pdos.push_back(n->Pdo());
    return pdos;
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state)
{
    return state == PowerSystemHibernate ? PowerActionHibernate
           : state == PowerSystemWorking ? PowerActionNone
                                         : PowerActionSleep;
}

}  // namespace

PowerManager &PowerManager::Get()
{
    static PowerManager manager;
    return manager;
}

NTSTATUS PowerManager::SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state)
{
    return SendPlatformRequest(pdo, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION sp) {
               sp->Parameters.Power.Type = SystemPowerState;
               sp->Parameters.Power.State.SystemState = state;
               sp->Parameters.Power.ShutdownType = ActionFor(state);
           }).Status;
}

NTSTATUS PowerManager::Sleep(SYSTEM_POWER_STATE state)
{
    if (systemState_ != PowerSystemWorking)
        return STATUS_INVALID_DEVICE_STATE;
    std::vector<PDEVICE_OBJECT> stacks = StacksDeepestFirst();
    for (size_t i = 0; i < stacks.size(); ++i) {
        NTSTATUS status = SendSystemIrp(stacks[i], IRP_MN_QUERY_POWER, state);
        if (!NT_SUCCESS(status)) {
            for (size_t j = i + 1; j-- > 0;)
                SendSystemIrp(stacks[j], IRP_MN_SET_POWER, PowerSystemWorking);
            return status;
        }
    }
    for (PDEVICE_OBJECT pdo : stacks)
        SendSystemIrp(pdo, IRP_MN_SET_POWER, state);
    systemState_ = state;
    return STATUS_SUCCESS;
}

NTSTATUS PowerManager::Wake()
{
    if (systemState_ == PowerSystemWorking)
        return STATUS_SUCCESS;
    std::vector<PDEVICE_OBJECT> stacks = StacksDeepestFirst();
    std::reverse(stacks.begin(), stacks.end());
    systemState_ = PowerSystemWorking;
    for (PDEVICE_OBJECT pdo : stacks)
        SendSystemIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
    return STATUS_SUCCESS;
}

}  // namespace plat

using namespace plat;

extern "C" {

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        VerifierFail("IRQL", "PoRequestPowerIrp above DISPATCH_LEVEL");
    // Without an IRP the request fails at once, as Windows' does when it
    // cannot allocate one; the completion function is not called.
    if (TagFails(kIrpTag))
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    PIRP irp = AllocatePlatformIrp(top->StackSize, [=](PIRP finished) {
        if (CompletionFunction) {
            IO_STATUS_BLOCK status = finished->IoStatus;
            CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
        }
    });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = PowerState;
    }
    // The caller learns the IRP before any driver sees it.
    if (Irp)
        *Irp = irp;
    // Stacks that page their power code get the request at PASSIVE_LEVEL in
    // a worker thread; otherwise the machine's seed decides whether it goes
    // down at once or from a worker.
    bool defer = KeGetCurrentIrql() > PASSIVE_LEVEL || Scheduler::Get().Random()() % 2 == 0;
    if (defer)
        QueuePlatformWork([DeviceObject, irp] {
            // The stack may have changed, or gone, meanwhile.
            auto live = LiveDevices();
            bool present = std::find(live.begin(), live.end(), DeviceObject) != live.end();
            PDEVICE_OBJECT now = present ? TopOfStack(DeviceObject) : nullptr;
            if (!now || now->StackSize > irp->StackCount) {
                irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
                IofCompleteRequest(irp, IO_NO_INCREMENT);
                return;
            }
            MarkPowerCall();
            IofCallDriver(now, irp);
        });
    else {
        MarkPowerCall();
        IofCallDriver(top, irp);
    }
    return STATUS_PENDING;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    MarkPowerCall();
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) { NotePowerStartNext(Irp); }

// Returns the state the device object was in before.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    POWER_STATE previous{};
    DeviceHeader *header = HeaderOf(DeviceObject);
    if (!header)
        return previous;
    if (Type == SystemPowerState) {
        previous.SystemState = header->systemPowerState;
        header->systemPowerState = State.SystemState;
    } else {
        previous.DeviceState = header->devicePowerState;
        header->devicePowerState = State.DeviceState;
    }
    return previous;
}

}
