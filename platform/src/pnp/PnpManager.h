// Plug and Play manager of the simulated machine: device nodes, their
// registry keys and properties, driver images and binding, AddDevice, device
// interfaces and WMI registrations.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

namespace plat {

// What answers requests sent to a physical device object: the bus driver's
// per-device part.
class PhysicalDevice {
public:
    virtual ~PhysicalDevice() = default;
    // Handles an IRP sent to the PDO; completes it or pends it.
    virtual NTSTATUS Dispatch(PIRP irp);
    virtual NTSTATUS InternalDeviceControl(PIRP irp);

    PDEVICE_OBJECT pdo = nullptr;
};

struct DeviceInterface {
    GUID classGuid;
    std::u16string linkName;  // "\??\ROOT#PORTS#0000#{guid}"
    bool enabled = false;
};

struct DeviceNode {
    std::u16string instancePath;  // "ROOT\PORTS\0000"
    std::unique_ptr<PhysicalDevice> bus;
    PDRIVER_OBJECT functionDriver = nullptr;
    NTSTATUS addDeviceStatus = STATUS_PENDING;
    std::vector<DeviceInterface> interfaces;

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

    // A device node whose bus driver reports it: creates the PDO, loads and
    // binds the function driver and calls its AddDevice. `name` of the PDO is
    // generated. Returns the node (owned by the manager).
    DeviceNode *ReportDevice(std::u16string_view instancePath, std::unique_ptr<PhysicalDevice> bus);

    DeviceNode *FindNode(std::u16string_view instancePath);
    DeviceNode *NodeOfPdo(PDEVICE_OBJECT pdo);
    const std::vector<std::unique_ptr<DeviceNode>> &Nodes() const { return nodes_; }
    std::vector<PDRIVER_OBJECT> LoadedDrivers() const;

    // Shutdown: every loaded driver's DriverUnload runs, then its pool is
    // checked; the PDOs and bus drivers go away.
    void UnloadAll();

    // Recorded registrations.
    bool WmiRegistered(PDEVICE_OBJECT device) const;
    std::vector<PDEVICE_OBJECT> &WmiRegistrationList() { return wmi_; }
    std::vector<PDEVICE_OBJECT> &InvalidatedStates() { return invalidated_; }

    PDRIVER_OBJECT BusDriver(std::u16string_view name);

private:
    struct LoadedDriver {
        std::u16string service;
        PDRIVER_OBJECT driver;
    };
    PDRIVER_OBJECT LoadDriver(std::u16string_view service);

    std::vector<std::unique_ptr<DeviceNode>> nodes_;
    std::vector<LoadedDriver> drivers_;
    std::map<std::u16string, PDRIVER_OBJECT> busDrivers_;
    std::vector<PDEVICE_OBJECT> wmi_;
    std::vector<PDEVICE_OBJECT> invalidated_;
    int pdoCounter_ = 0;
};

}  // namespace plat
