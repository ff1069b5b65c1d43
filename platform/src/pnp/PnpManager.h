// Plug and Play manager of the simulated machine: device nodes, their
// registry keys and properties, driver images and binding, AddDevice, the
// start/stop/removal requests, device interfaces and their notifications.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

#include "pnp/PhysicalDevice.h"

namespace plat {

struct DeviceInterface {
    GUID classGuid;
    std::u16string linkName;  // "\??\ROOT#PORTS#0000#{guid}"
    bool enabled = false;
};

// Where a device node is in its life, as the Plug and Play manager sees it.
enum class NodeState {
    Added,            // AddDevice ran, not started yet
    Started,
    Stopped,          // stopped for a rebalance, restarted at once
    Failed,           // AddDevice or start failed, or the stack reported a failure: no function device
    SurpriseRemoved,  // gone, remove request still to come
    Removed,
};
const char *NodeStateName(NodeState state);

struct DeviceNode {
    std::u16string instancePath;  // "ROOT\PORTS\0000"
    // What the bus answered to IRP_MN_QUERY_ID before the driver was added.
    std::u16string deviceId;    // "ROOT\PORTS"
    std::u16string instanceId;  // "0000"
    std::unique_ptr<PhysicalDevice> bus;
    PDRIVER_OBJECT functionDriver = nullptr;
    NTSTATUS addDeviceStatus = STATUS_PENDING;
    std::vector<DeviceInterface> interfaces;
    NodeState state = NodeState::Added;
    // Why the node is Failed.
    NTSTATUS problem = STATUS_SUCCESS;
    DEVICE_CAPABILITIES capabilities{};
    // Information of the last IRP_MN_QUERY_PNP_DEVICE_STATE that succeeded.
    PNP_DEVICE_STATE deviceState = 0;
    // Surprise-removed while handles to its stack were open: the removal
    // request goes when the last one is closed.
    bool removeWhenClosed = false;

    std::u16string EnumKeyPath() const;  // \Registry\Machine\System\CurrentControlSet\Enum\<instance>
    PDEVICE_OBJECT Pdo() const { return bus ? bus->pdo : nullptr; }
};

// Properties a new device node gets in its registry key.
struct DeviceNodeSetup {
    std::u16string className;             // "Ports"
    std::u16string classGuid;             // "{4D36E978-E325-11CE-BFC1-08002BE10318}"
    std::vector<std::u16string> hardwareIds;
    std::u16string service;               // "VEXLINK"
    std::u16string description;
    std::map<std::u16string, std::u16string> deviceParameters;  // REG_SZ values
};

// A device interface that was enabled (arrival) or disabled (removal).
struct InterfaceEvent {
    bool arrival;
    GUID classGuid;
    std::u16string linkName;
};
using InterfaceListener = std::function<void(const InterfaceEvent &event)>;

constexpr const char16_t *kEnumRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
constexpr const char16_t *kServicesRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

// Driver images the machine can load, by file name ("vexlink.sys").
void RegisterDriverImage(std::u16string_view fileName, PDRIVER_INITIALIZE entry);

class PnpManager {
public:
    static PnpManager &Get();

    // Writes the node's registry key (if it does not exist yet) from setup.
    static void WriteDeviceNodeKey(std::u16string_view instancePath, const DeviceNodeSetup &setup);
    // Next free instance path "ROOT\<ENUMERATOR>\NNNN".
    static std::u16string NextRootInstance(std::u16string_view enumerator);

    // A device node whose bus driver reports it: creates the PDO, asks the
    // bus alone for the device's IDs and capabilities, loads and binds the
    // function driver, calls its AddDevice and starts the stack. The PDO's name is generated. Returns the
    // node (owned by the manager).
    DeviceNode *ReportDevice(std::u16string_view instancePath, std::unique_ptr<PhysicalDevice> bus);

    // The Plug and Play requests, one operation at a time; each is called
    // from a simulated thread at PASSIVE_LEVEL and returns when the stack has
    // answered. A node that ends removed is deleted (see DeviceGone).
    //
    // Rebalance: query-stop, then stop and start again with new resources;
    // a refused query is cancelled and its status returned.
    NTSTATUS Rebalance(DeviceNode *node);
    // A removal the user asks for: the removal relations, query-remove, then
    // remove; a refused query is cancelled and its status returned. With uninstall, the node's
    // registry key goes too.
    NTSTATUS RequestRemoval(DeviceNode *node, bool uninstall);
    // The bus no longer sees the device: surprise removal (for a started
    // stack), then remove once no handle to the stack is open; the PDO and
    // the node are deleted then.
    void DeviceGone(DeviceNode *node);
    void HandleClosed(PDEVICE_OBJECT device);
    // Sends one IRP_MJ_PNP request to the top of the node's stack and waits
    // for it; the IRP starts with STATUS_NOT_SUPPORTED as Windows sends it.
    NTSTATUS SendPnpIrp(DeviceNode *node, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {},
                        ULONG_PTR *information = nullptr);
    // Waits until the work the manager queued (device-state queries after
    // IoInvalidateDeviceState, interface notifications) has run.
    void Settle();

    // Interface arrival and removal, delivered from a system worker thread.
    int AddInterfaceListener(const GUID &classGuid, InterfaceListener listener);
    void RemoveInterfaceListener(int id);
    void NotifyInterface(const InterfaceEvent &event);
    // IoInvalidateDeviceState: queues a device-state query for the node.
    void InvalidateDeviceState(PDEVICE_OBJECT pdo);

    DeviceNode *FindNode(std::u16string_view instancePath);
    DeviceNode *NodeOfPdo(PDEVICE_OBJECT pdo);
    const std::vector<std::unique_ptr<DeviceNode>> &Nodes() const { return nodes_; }
    std::vector<PDRIVER_OBJECT> LoadedDrivers() const;

    // Shutdown: every loaded driver's DriverUnload runs, then its pool is
    // checked; the PDOs and bus drivers go away.
    void UnloadAll();

    // Called at boot, before the first device is reported.
    void Boot();

    PDRIVER_OBJECT BusDriver(std::u16string_view name);

private:
    struct LoadedDriver {
        std::u16string service;
        PDRIVER_OBJECT driver;
    };
    struct Listener {
        int id;
        GUID classGuid;
        InterfaceListener callback;
    };
    class Lock;
    PDRIVER_OBJECT LoadDriver(std::u16string_view service);
    void UnloadDriver(PDRIVER_OBJECT driver);
    void UnloadIfUnused(PDRIVER_OBJECT driver);
    // Lock held.
    NTSTATUS StartNode(DeviceNode *node);
    // Start with resource lists; a failed start removes the stack.
    NTSTATUS SendStart(DeviceNode *node);
    void QueryIds(DeviceNode *node);
    void QueryCapabilities(DeviceNode *node);
    void QueryRelations(DeviceNode *node, DEVICE_RELATION_TYPE type);
    void QueryDeviceState(DeviceNode *node);
    bool SurpriseRemove(DeviceNode *node);
    void RemoveStack(DeviceNode *node, bool surprise);
    void DeleteNode(DeviceNode *node);
    void QueueWork(std::function<void()> work);

    std::vector<std::unique_ptr<DeviceNode>> nodes_;
    std::vector<LoadedDriver> drivers_;
    std::map<std::u16string, PDRIVER_OBJECT> busDrivers_;
    std::vector<Listener> listeners_;
    int nextListenerId_ = 1;
    int pdoCounter_ = 0;
    KEVENT lock_{};
    // Queued work not yet done, and the event set whenever it drops to none.
    int outstandingWork_ = 0;
    KEVENT workDone_{};
};

// The manager's operations run one at a time.
class PnpManager::Lock {
public:
    explicit Lock(PnpManager &manager) : manager_(manager)
    {
        KeWaitForSingleObject(&manager_.lock_, Executive, KernelMode, FALSE, nullptr);
    }
    ~Lock() { KeSetEvent(&manager_.lock_, 0, FALSE); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    PnpManager &manager_;
};

}  // namespace plat
