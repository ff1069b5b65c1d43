// Device nodes, driver loading and unloading, AddDevice, device properties.
#include "pnp/PnpManager.h"

#include <algorithm>
#include <cstdio>

#include "cm/Hive.h"
#include "ex/Pool.h"
#include "ex/Raise.h"
#include "io/IoManager.h"
#include "ke/Scheduler.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"
#include "wmi/Wmi.h"

namespace plat {
namespace {

std::map<std::u16string, PDRIVER_INITIALIZE> &images()
{
    static std::map<std::u16string, PDRIVER_INITIALIZE> m;
    return m;
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceNode *node = HeaderOf(device)->node;
    return node->bus->Dispatch(irp);
}

std::u16string FileNameOf(std::u16string_view path)
{
    size_t slash = path.find_last_of(u"\\/");
    return Upcase(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

std::u16string DeviceNode::EnumKeyPath() const { return std::u16string(kEnumRoot) + u"\\" + instancePath; }

void RegisterDriverImage(std::u16string_view fileName, PDRIVER_INITIALIZE entry)
{
    images()[Upcase(fileName)] = entry;
}

PnpManager &PnpManager::Get()
{
    static PnpManager m;
    return m;
}

void PnpManager::WriteDeviceNodeKey(std::u16string_view instancePath, const DeviceNodeSetup &setup)
{
    cm::Hive &reg = cm::Registry();
    std::u16string path = std::u16string(kEnumRoot) + u"\\" + std::u16string(instancePath);
    if (reg.Find(path))
        return;
    reg.Create(path);
    reg.SetString(path, u"Class", setup.className);
    if (!setup.classGuid.empty())
        reg.SetString(path, u"ClassGUID", setup.classGuid);
    reg.SetMultiString(path, u"HardwareID", setup.hardwareIds);
    reg.SetString(path, u"Service", setup.service);
    if (!setup.description.empty())
        reg.SetString(path, u"DeviceDesc", setup.description);
    std::u16string params = path + u"\\Device Parameters";
    reg.Create(params);
    for (const auto &[name, value] : setup.deviceParameters)
        reg.SetString(params, name, value);
}

std::u16string PnpManager::NextRootInstance(std::u16string_view enumerator)
{
    for (int n = 0;; ++n) {
        char16_t digits[8];
        for (int i = 3, v = n; i >= 0; --i, v /= 10)
            digits[i] = static_cast<char16_t>(u'0' + v % 10);
        std::u16string instance = u"ROOT\\" + Upcase(enumerator) + u"\\" + std::u16string(digits, 4);
        if (!cm::Registry().Find(std::u16string(kEnumRoot) + u"\\" + instance))
            return instance;
    }
}

PDRIVER_OBJECT PnpManager::BusDriver(std::u16string_view name)
{
    auto it = busDrivers_.find(std::u16string(name));
    if (it != busDrivers_.end())
        return it->second;
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\" + std::u16string(name), name);
    for (auto &entry : driver->MajorFunction)
        entry = BusDispatch;
    busDrivers_[std::u16string(name)] = driver;
    return driver;
}

PDRIVER_OBJECT PnpManager::LoadDriver(std::u16string_view service)
{
    for (const auto &loaded : drivers_)
        if (EqualNoCase(loaded.service, service))
            return loaded.driver;
    std::u16string serviceKey = std::u16string(kServicesRoot) + u"\\" + std::u16string(service);
    auto imagePath = cm::Registry().GetString(serviceKey, u"ImagePath");
    if (!imagePath) {
        DbgPrint("PnP: service %s has no ImagePath\n", ToUtf8(service).c_str());
        return nullptr;
    }
    auto image = images().find(FileNameOf(*imagePath));
    if (image == images().end()) {
        DbgPrint("PnP: driver image %s is not present\n", ToUtf8(*imagePath).c_str());
        return nullptr;
    }
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\" + std::u16string(service), service);
    driver->DriverInit = image->second;
    CountedString registryPath(serviceKey);
    NTSTATUS status;
    try {
        status = image->second(driver, &registryPath.string);
    } catch (const RaisedStatus &raised) {
        VerifierFail("driver entry", "unhandled exception " + std::to_string(raised.Status) + " in DriverEntry");
        status = raised.Status;
    }
    if (!NT_SUCCESS(status)) {
        if (driver->DeviceObject)
            VerifierFail("driver entry", "DriverEntry failed but left device objects behind");
        DeleteDriverObject(driver);
        return nullptr;
    }
    // As on Windows, devices created during DriverEntry are ready once it returns.
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        d->Flags &= ~DO_DEVICE_INITIALIZING;
    drivers_.push_back({std::u16string(service), driver});
    return driver;
}

DeviceNode *PnpManager::ReportDevice(std::u16string_view instancePath, std::unique_ptr<PhysicalDevice> bus)
{
    Lock held(*this);
    auto node = std::make_unique<DeviceNode>();
    node->instancePath = instancePath;
    node->bus = std::move(bus);
    DeviceNode *n = node.get();
    nodes_.push_back(std::move(node));

    char name[32];
    std::snprintf(name, sizeof name, "\\Device\\%08X", ++pdoCounter_);
    std::u16string enumerator = n->instancePath.substr(0, n->instancePath.find(u'\\'));
    PDEVICE_OBJECT pdo = CreatePlatformDevice(BusDriver(enumerator == u"ROOT" ? u"PnpManager" : u"usbhub"),
                                              FromUtf8(name), FILE_DEVICE_BUS_EXTENDER);
    HeaderOf(pdo)->node = n;
    n->bus->pdo = pdo;
    QueryIds(n);
    QueryCapabilities(n);

    auto service = cm::Registry().GetString(n->EnumKeyPath(), u"Service");
    PDRIVER_OBJECT driver = service ? LoadDriver(*service) : nullptr;
    if (!driver) {
        n->addDeviceStatus = STATUS_NO_SUCH_DEVICE;
        return n;
    }
    n->functionDriver = driver;
    if (!driver->DriverExtension->AddDevice) {
        n->addDeviceStatus = STATUS_NOT_SUPPORTED;
        return n;
    }
    int criticalRegion = CurrentThread()->criticalRegion;
    try {
        n->addDeviceStatus = driver->DriverExtension->AddDevice(driver, pdo);
    } catch (const RaisedStatus &raised) {
        VerifierFail("AddDevice", "unhandled exception " + std::to_string(raised.Status) + " in AddDevice");
        n->addDeviceStatus = raised.Status;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFail("AddDevice", "returned above PASSIVE_LEVEL");
    // A lock the routine kept keeps its critical region entered.
    if (CurrentThread()->criticalRegion != criticalRegion)
        VerifierFail("AddDevice", "returned inside a critical region");
    if (!NT_SUCCESS(n->addDeviceStatus)) {
        n->state = NodeState::Failed;
        n->problem = n->addDeviceStatus;
        n->functionDriver = nullptr;
        UnloadIfUnused(driver);
        return n;
    }
    StartNode(n);
    return n;
}

DeviceNode *PnpManager::FindNode(std::u16string_view instancePath)
{
    for (auto &n : nodes_)
        if (EqualNoCase(n->instancePath, instancePath))
            return n.get();
    return nullptr;
}

DeviceNode *PnpManager::NodeOfPdo(PDEVICE_OBJECT pdo)
{
    for (auto &n : nodes_)
        if (n->Pdo() == pdo)
            return n.get();
    return nullptr;
}

std::vector<PDRIVER_OBJECT> PnpManager::LoadedDrivers() const
{
    std::vector<PDRIVER_OBJECT> out;
    for (const auto &d : drivers_)
        out.push_back(d.driver);
    return out;
}

void PnpManager::UnloadDriver(PDRIVER_OBJECT driver)
{
    auto it = std::find_if(drivers_.begin(), drivers_.end(), [&](const LoadedDriver &d) { return d.driver == driver; });
    if (it == drivers_.end())
        return;
    std::u16string service = it->service;
    drivers_.erase(it);
    if (driver->DriverUnload)
        driver->DriverUnload(driver);
    if (driver->DeviceObject)
        VerifierFail("unload", "driver '" + ToUtf8(service) + "' left device objects after DriverUnload");
    // The driver's pool, and whatever the kernel allocated for it, must be
    // gone once it has unloaded. Pool is not tracked per driver: the check
    // waits for the last loaded driver.
    if (drivers_.empty() && LivePoolBlocks())
        VerifierFail("pool", "pool still allocated after driver '" + ToUtf8(service) + "' unloaded:\n" +
                                 DescribeLivePool());
    DeleteDriverObject(driver);
}

// Lock held. A driver goes when no node uses it and it has no device object
// of its own left (a control device keeps it loaded).
void PnpManager::UnloadIfUnused(PDRIVER_OBJECT driver)
{
    if (!driver || driver->DeviceObject)
        return;
    for (const auto &n : nodes_)
        if (n->functionDriver == driver)
            return;
    UnloadDriver(driver);
}

void PnpManager::UnloadAll()
{
    Settle();
    // The machine goes off: every stack is removed, newest first, so that
    // its drivers end what they hold (wait-wake requests, remove-lock
    // holders) before they unload.
    {
        Lock held(*this);
        for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it)
            RemoveStack(it->get(), false);
    }
    Settle();
    while (!drivers_.empty())
        UnloadDriver(drivers_.back().driver);
    for (auto &n : nodes_)
        if (n->Pdo())
            IoDeleteDevice(n->Pdo());
    nodes_.clear();
    for (auto &[name, driver] : busDrivers_)
        DeleteDriverObject(driver);
    busDrivers_.clear();
    WmiReset();
    listeners_.clear();
    pdoCounter_ = 0;
}

}  // namespace plat

using namespace plat;

extern "C" {

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    DeviceNode *node = PnpManager::Get().NodeOfPdo(DeviceObject);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string data;
    switch (DeviceProperty) {
    case DevicePropertyClassName:
    case DevicePropertyClassGuid:
    case DevicePropertyDeviceDescription:
    case DevicePropertyDriverKeyName: {
        const char16_t *value = DeviceProperty == DevicePropertyClassName   ? u"Class"
                                : DeviceProperty == DevicePropertyClassGuid ? u"ClassGUID"
                                : DeviceProperty == DevicePropertyDeviceDescription ? u"DeviceDesc"
                                                                                     : u"Driver";
        auto text = cm::Registry().GetString(node->EnumKeyPath(), value);
        if (!text)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        data = *text + u'\0';
        break;
    }
    case DevicePropertyHardwareID:
    case DevicePropertyCompatibleIDs: {
        auto list = cm::Registry().GetMultiString(node->EnumKeyPath(),
                                                  DeviceProperty == DevicePropertyHardwareID ? u"HardwareID"
                                                                                             : u"CompatibleIDs");
        if (!list)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        for (const auto &id : *list)
            data += id + u'\0';
        data += u'\0';
        break;
    }
    case DevicePropertyEnumeratorName:
        data = node->instancePath.substr(0, node->instancePath.find(u'\\')) + u'\0';
        break;
    case DevicePropertyPhysicalDeviceObjectName:
        data = HeaderOf(DeviceObject)->name + u'\0';
        break;
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
    ULONG size = static_cast<ULONG>(data.size() * 2);
    *ResultLength = size;
    if (BufferLength < size)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(PropertyBuffer, data.data(), size);
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey)
{
    DeviceNode *node = PnpManager::Get().NodeOfPdo(DeviceObject);
    if (!node || DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
        return STATUS_INVALID_PARAMETER;
    std::u16string path = node->EnumKeyPath() + u"\\Device Parameters";
    if (!cm::Registry().Find(path))
        cm::Registry().Create(path);
    CountedString name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(DevInstRegKey, DesiredAccess, &attributes);
}

MM_SYSTEMSIZE MmQuerySystemSize(void) { return MmLargeSystem; }

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    static const struct {
        const char16_t *name;
        PVOID address;
    } exports[] = {
        {u"KeAcquireSpinLockAtDpcLevel", reinterpret_cast<PVOID>(&KeAcquireSpinLockAtDpcLevel)},
        {u"KeReleaseSpinLockFromDpcLevel", reinterpret_cast<PVOID>(&KeReleaseSpinLockFromDpcLevel)},
        {u"KeAcquireSpinLockRaiseToDpc", reinterpret_cast<PVOID>(&KeAcquireSpinLockRaiseToDpc)},
        {u"KeReleaseSpinLock", reinterpret_cast<PVOID>(&KeReleaseSpinLock)},
        {u"IoIsWdmVersionAvailable", reinterpret_cast<PVOID>(&IoIsWdmVersionAvailable)},
    };
    std::u16string wanted = FromUnicodeString(SystemRoutineName);
    for (const auto &e : exports)
        if (wanted == e.name)
            return e.address;
    return nullptr;
}

}
