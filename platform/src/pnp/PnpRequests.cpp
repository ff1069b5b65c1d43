// The Plug and Play requests the manager sends: IDs, capabilities, start,
// bus relations, device state, rebalance, removal asked for by the user, and
// surprise removal.
#include <algorithm>

#include "cm/Hive.h"
#include "ex/WorkQueue.h"
#include "io/IoManager.h"
#include "pnp/PnpManager.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

namespace plat {

const char *NodeStateName(NodeState state)
{
    switch (state) {
    case NodeState::Added:
        return "added";
    case NodeState::Started:
        return "started";
    case NodeState::Stopped:
        return "stopped";
    case NodeState::Failed:
        return "failed";
    case NodeState::SurpriseRemoved:
        return "surprise-removed";
    case NodeState::Removed:
        return "removed";
    }
    return "?";
}

void PnpManager::Boot()
{
    SetHandleClosedObserver([this](PDEVICE_OBJECT device) { HandleClosed(device); });
    KeInitializeEvent(&lock_, SynchronizationEvent, TRUE);
    KeInitializeEvent(&workDone_, NotificationEvent, TRUE);
    outstandingWork_ = 0;
}

NTSTATUS PnpManager::SendPnpIrp(DeviceNode *node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare,
                                ULONG_PTR *information)
{
    IO_STATUS_BLOCK result =
        SendPlatformRequest(node->Pdo(), IRP_MJ_PNP, minor, prepare, information ? *information : 0);
    if (information)
        *information = result.Information;
    return result.Status;
}

// What the bus reports of a new device before any driver is added: its IDs,
// from the physical device alone. The answers are the bus's pool, freed here.
void PnpManager::QueryIds(DeviceNode *node)
{
    for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryInstanceID, BusQueryHardwareIDs, BusQueryCompatibleIDs}) {
        ULONG_PTR information = 0;
        NTSTATUS status = SendPnpIrp(node, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) {
            sp->Parameters.QueryId.IdType = type;
        }, &information);
        auto *text = reinterpret_cast<const char16_t *>(information);
        if (NT_SUCCESS(status) && type == BusQueryDeviceID && text)
            node->deviceId = text;
        if (NT_SUCCESS(status) && type == BusQueryInstanceID && text)
            node->instanceId = text;
        if (text)
            ExFreePool(const_cast<char16_t *>(text));
    }
}

// Relations of a stack: its bus relations after a start (the children it
// reports, none on this machine's buses), its removal relations before a
// removal query (devices that would go with it). The list is the stack's
// pool, freed here with the references it holds.
void PnpManager::QueryRelations(DeviceNode *node, DEVICE_RELATION_TYPE type)
{
    ULONG_PTR information = 0;
    SendPnpIrp(node, IRP_MN_QUERY_DEVICE_RELATIONS, [type](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = type;
    }, &information);
    if (auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information)) {
        for (ULONG i = 0; i < relations->Count; ++i)
            ObDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }
}

void PnpManager::QueryCapabilities(DeviceNode *node)
{
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    NTSTATUS status = SendPnpIrp(node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (NT_SUCCESS(status))
        node->capabilities = caps;
}

NTSTATUS PnpManager::StartNode(DeviceNode *node)
{
    NTSTATUS status = SendStart(node);
    if (NT_SUCCESS(status))
        QueryDeviceState(node);
    return status;
}

// The devices of this machine claim no hardware resources, so, as on
// Windows, their start carries no resource lists. After every successful
// start the stack's capabilities are asked again (a function driver may
// change them once it runs) and its bus relations.
NTSTATUS PnpManager::SendStart(DeviceNode *node)
{
    NTSTATUS status = SendPnpIrp(node, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources = nullptr;
        sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (!NT_SUCCESS(status)) {
        // As on Windows 2000 and later, a stack that fails to start is removed.
        RemoveStack(node, false);
        node->state = NodeState::Failed;
        node->problem = status;
        return status;
    }
    node->state = NodeState::Started;
    QueryCapabilities(node);
    QueryRelations(node, BusRelations);
    return status;
}

void PnpManager::QueryDeviceState(DeviceNode *node)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnpIrp(node, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &information);
    if (!NT_SUCCESS(status))
        return;
    node->deviceState = static_cast<PNP_DEVICE_STATE>(information);
    // A stack that reports its device failed or gone loses its function
    // device, the hardware stays.
    if ((information & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED)) && node->state == NodeState::Started) {
        RemoveStack(node, true);
        node->state = NodeState::Failed;
        node->problem = (information & PNP_DEVICE_REMOVED) ? STATUS_DEVICE_REMOVED : STATUS_UNSUCCESSFUL;
    }
}

void PnpManager::InvalidateDeviceState(PDEVICE_OBJECT pdo)
{
    QueueWork([this, pdo] {
        Lock held(*this);
        DeviceNode *node = NodeOfPdo(pdo);
        if (node && node->state == NodeState::Started)
            QueryDeviceState(node);
    });
}

// Lock held. A started or stopped stack is told its device is gone; from
// then on it takes no new opens. False when there was nothing to tell.
bool PnpManager::SurpriseRemove(DeviceNode *node)
{
    if (!node->functionDriver || (node->state != NodeState::Started && node->state != NodeState::Stopped))
        return false;
    SendPnpIrp(node, IRP_MN_SURPRISE_REMOVAL);
    node->state = NodeState::SurpriseRemoved;
    MarkStackRemovePending(node->Pdo());
    return true;
}

void PnpManager::RemoveStack(DeviceNode *node, bool surprise)
{
    if (!node->functionDriver)
        return;
    if (surprise)
        SurpriseRemove(node);
    SendPnpIrp(node, IRP_MN_REMOVE_DEVICE);
    node->state = NodeState::Removed;
    if (node->Pdo()->AttachedDevice)
        VerifierFail("PnP", "a device is still attached to '" + ToUtf8(HeaderOf(node->Pdo())->name) +
                                "' after IRP_MN_REMOVE_DEVICE");
    PDRIVER_OBJECT driver = node->functionDriver;
    node->functionDriver = nullptr;
    UnloadIfUnused(driver);
}

void PnpManager::DeleteNode(DeviceNode *node)
{
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const auto &n) { return n.get() == node; });
    if (it == nodes_.end())
        return;
    std::unique_ptr<DeviceNode> owned = std::move(*it);
    nodes_.erase(it);
    PDEVICE_OBJECT pdo = owned->Pdo();
    owned->bus.reset();
    if (pdo)
        IoDeleteDevice(pdo);
}

NTSTATUS PnpManager::Rebalance(DeviceNode *node)
{
    Lock held(*this);
    if (node->state != NodeState::Started)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = SendPnpIrp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnpIrp(node, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    SendPnpIrp(node, IRP_MN_STOP_DEVICE);
    node->state = NodeState::Stopped;
    return SendStart(node);
}

NTSTATUS PnpManager::RequestRemoval(DeviceNode *node, bool uninstall)
{
    Lock held(*this);
    if (node->functionDriver) {
        QueryRelations(node, RemovalRelations);
        NTSTATUS status = SendPnpIrp(node, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            SendPnpIrp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
        RemoveStack(node, false);
    }
    if (uninstall)
        cm::Registry().DeleteTree(node->EnumKeyPath());
    DeleteNode(node);
    return STATUS_SUCCESS;
}

void PnpManager::DeviceGone(DeviceNode *node)
{
    Lock held(*this);
    node->bus->present = false;
    node->bus->Disconnect();
    // The removal request waits for the last handle to the stack.
    if (SurpriseRemove(node) && StackOpenCount(node->Pdo()) > 0) {
        node->removeWhenClosed = true;
        return;
    }
    RemoveStack(node, true);
    DeleteNode(node);
}

// A handle to a device of some stack was closed: a surprise-removed stack
// whose last handle it was gets its removal now, from a system worker.
void PnpManager::HandleClosed(PDEVICE_OBJECT device)
{
    DeviceNode *waiting = nullptr;
    for (auto &n : nodes_)
        if (n->removeWhenClosed && n->Pdo())
            for (PDEVICE_OBJECT d = n->Pdo(); d; d = d->AttachedDevice)
                if (d == device)
                    waiting = n.get();
    if (!waiting || StackOpenCount(waiting->Pdo()) > 0)
        return;
    waiting->removeWhenClosed = false;
    QueueWork([this, waiting] {
        Lock held(*this);
        if (std::none_of(nodes_.begin(), nodes_.end(), [waiting](const auto &n) { return n.get() == waiting; }))
            return;
        RemoveStack(waiting, true);
        DeleteNode(waiting);
    });
}

void PnpManager::QueueWork(std::function<void()> work)
{
    if (outstandingWork_++ == 0)
        KeResetEvent(&workDone_);
    QueuePlatformWork([this, work = std::move(work)] {
        work();
        if (--outstandingWork_ == 0)
            KeSetEvent(&workDone_, 0, FALSE);
    });
}

void PnpManager::Settle()
{
    while (outstandingWork_ > 0)
        KeWaitForSingleObject(&workDone_, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace plat
