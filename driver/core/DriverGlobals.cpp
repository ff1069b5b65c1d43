// The driver globals, the static initialisers and the exit-callback list.
#include "DriverGlobals.h"

#include "KDeviceObject.h"
#include "KIrpHolder.h"
#include "Pool.h"
#include "PortTable.h"

DriverGlobalsRecord DriverGlobals;

namespace {

struct ExitCallbackNode {
    LIST_ENTRY link;
    ExitCallback routine;
};

constexpr char kConfigurationKeyPath[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\\";
constexpr char kControlDeviceName[] = "\\Device\\VEXLINKCDO";
constexpr WCHAR kControlDeviceSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

void DoNothing() {}
void ReleaseScannerKeyPath()
{
    DriverGlobals.scannerKeyPath.Free();
    // A table that no port ever emptied goes with the driver.
    ReleasePortTable();
}
void ReleaseConfigurationKeyPath() { DriverGlobals.configurationKeyPath.Free(); }
void ReleaseControlDeviceName() { DriverGlobals.controlDeviceName.Free(); }
void ReleaseControlDeviceSddl() { DriverGlobals.controlDeviceSddl.Free(); }
void ReleaseRegistryPath() { DriverGlobals.registryPath.Free(); }

void FillDispatchTable()
{
    static const DispatchOperation operations[kMajorFunctionCount] = {
        &KDeviceObject::DispatchCreate,                  /* IRP_MJ_CREATE */
        &KDeviceObject::DispatchCreateNamedPipe,         /* IRP_MJ_CREATE_NAMED_PIPE */
        &KDeviceObject::DispatchClose,                   /* IRP_MJ_CLOSE */
        &KDeviceObject::DispatchRead,                    /* IRP_MJ_READ */
        &KDeviceObject::DispatchWrite,                   /* IRP_MJ_WRITE */
        &KDeviceObject::DispatchQueryInformation,        /* IRP_MJ_QUERY_INFORMATION */
        &KDeviceObject::DispatchSetInformation,          /* IRP_MJ_SET_INFORMATION */
        &KDeviceObject::DispatchQueryEa,                 /* IRP_MJ_QUERY_EA */
        &KDeviceObject::DispatchSetEa,                   /* IRP_MJ_SET_EA */
        &KDeviceObject::DispatchFlushBuffers,            /* IRP_MJ_FLUSH_BUFFERS */
        &KDeviceObject::DispatchQueryVolumeInformation,  /* IRP_MJ_QUERY_VOLUME_INFORMATION */
        &KDeviceObject::DispatchSetVolumeInformation,    /* IRP_MJ_SET_VOLUME_INFORMATION */
        &KDeviceObject::DispatchDirectoryControl,        /* IRP_MJ_DIRECTORY_CONTROL */
        &KDeviceObject::DispatchFileSystemControl,       /* IRP_MJ_FILE_SYSTEM_CONTROL */
        &KDeviceObject::DispatchDeviceControl,           /* IRP_MJ_DEVICE_CONTROL */
        &KDeviceObject::DispatchInternalDeviceControl,   /* IRP_MJ_INTERNAL_DEVICE_CONTROL */
        &KDeviceObject::DispatchShutdown,                /* IRP_MJ_SHUTDOWN */
        &KDeviceObject::DispatchLockControl,             /* IRP_MJ_LOCK_CONTROL */
        &KDeviceObject::DispatchCleanup,                 /* IRP_MJ_CLEANUP */
        &KDeviceObject::DispatchCreateMailslot,          /* IRP_MJ_CREATE_MAILSLOT */
        &KDeviceObject::DispatchQuerySecurity,           /* IRP_MJ_QUERY_SECURITY */
        &KDeviceObject::DispatchSetSecurity,             /* IRP_MJ_SET_SECURITY */
        &KDeviceObject::DispatchPower,                   /* IRP_MJ_POWER */
        &KDeviceObject::DispatchSystemControl,           /* IRP_MJ_SYSTEM_CONTROL */
        &KDeviceObject::DispatchDeviceChange,            /* IRP_MJ_DEVICE_CHANGE */
        &KDeviceObject::DispatchQueryQuota,              /* IRP_MJ_QUERY_QUOTA */
        &KDeviceObject::DispatchSetQuota,                /* IRP_MJ_SET_QUOTA */
        &KDeviceObject::DispatchPnp,                     /* IRP_MJ_PNP */
    };
    for (ULONG m = 0; m < kMajorFunctionCount; ++m)
        DriverGlobals.dispatchTable[m] = operations[m];
}

}  // namespace

namespace {

// Raises STATUS_INSUFFICIENT_RESOURCES when the callback cannot be kept.
void RequireExitCallback(ExitCallback routine)
{
    if (!RegisterExitCallback(routine))
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace

bool RegisterExitCallback(ExitCallback routine)
{
    auto node = static_cast<ExitCallbackNode *>(AllocatePool(sizeof(ExitCallbackNode)));
    if (!node)
        return false;
    node->routine = routine;
    ExInterlockedInsertHeadList(&DriverGlobals.exitCallbacks, &node->link, &DriverGlobals.exitCallbackLock);
    return true;
}

void RunExitCallbacks()
{
    while (PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&DriverGlobals.exitCallbacks, &DriverGlobals.exitCallbackLock)) {
        auto node = CONTAINING_RECORD(entry, ExitCallbackNode, link);
        node->routine();
        FreePool(node);
    }
}

// PASSIVE_LEVEL, from DriverEntry. String storage may raise.
void InitializeDriverLibrary()
{
    DriverGlobals.poolTag = 'V' | 'R' << 8 | 'A' << 16 | static_cast<ULONG>('K') << 24;  // "VRAK" in memory order
    InitializeListHead(&DriverGlobals.exitCallbacks);
    KeInitializeSpinLock(&DriverGlobals.exitCallbackLock);
    InitializeListHead(&DriverGlobals.irpHolderRegistry);
    KeInitializeSpinLock(&DriverGlobals.irpHolderRegistryLock);
    InitializeListHead(&DriverGlobals.scannerList);
    KeInitializeSpinLock(&DriverGlobals.scannerListLock);
    DriverGlobals.lastPortNumber = -1;

    DriverGlobals.portTableLock.Initialize();
    // Each initialiser registers its exit callback before it allocates, and
    // a registration that fails fails the load: what it would have allocated
    // could never be freed.
    RequireExitCallback(DoNothing);
    RequireExitCallback(ReleaseScannerKeyPath);
    RequireExitCallback(ReleaseConfigurationKeyPath);
    DriverGlobals.configurationKeyPath.AssignAnsi(kConfigurationKeyPath, sizeof kConfigurationKeyPath - 1);
    RequireExitCallback(ReleaseControlDeviceName);
    DriverGlobals.controlDeviceName.Assign(kControlDeviceName, sizeof kControlDeviceName - 1);
    RequireExitCallback(ReleaseControlDeviceSddl);
    DriverGlobals.controlDeviceSddl.Assign(kControlDeviceSddl, ARRAYSIZE(kControlDeviceSddl) - 1);
    RequireExitCallback(ReleaseRegistryPath);
    DriverGlobals.minimumTimeoutMs = 5 * (KeQueryTimeIncrement() / 10000);
    FillDispatchTable();
    RequireExitCallback(KIrpHolder::DestroyRegistry);
}
