// Driver and device objects: IoCreateDevice, IoDeleteDevice, device stacks.
#include <algorithm>
#include <cstdlib>
#include <new>

#include <wdmsec.h>

#include "io/IoManager.h"
#include "ob/Namespace.h"
#include "rtl/Text.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

constexpr ULONG kDeviceMagic = 0x44455643;  // "CVED"
constexpr ULONG kDeletedDeviceMagic = 0x44454144;
constexpr size_t kAlign = 16;

size_t RoundUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

std::vector<PDEVICE_OBJECT> &liveDevices()
{
    static std::vector<PDEVICE_OBJECT> v;
    return v;
}

struct DriverRecord {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string name;
    std::u16string service;
};

std::vector<DriverRecord *> &drivers()
{
    static std::vector<DriverRecord *> v;
    return v;
}

NTSTATUS NoDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CreateDeviceCommon(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                            ULONG type, ULONG characteristics, BOOLEAN exclusive,
                            PDEVICE_OBJECT *result, bool injectFaults = true)
{
    *result = nullptr;
    if (injectFaults && ShouldFail(FaultSite::CreateDevice))
        return STATUS_INSUFFICIENT_RESOURCES;
    size_t headerSize = RoundUp(sizeof(DeviceHeader));
    size_t objectSize = RoundUp(sizeof(DEVICE_OBJECT));
    auto *memory = static_cast<unsigned char *>(std::aligned_alloc(kAlign, RoundUp(headerSize + objectSize + extensionSize + 1)));
    auto *header = new (memory) DeviceHeader;
    header->magic = kDeviceMagic;
    header->extensionSize = extensionSize;
    auto *device = reinterpret_cast<PDEVICE_OBJECT>(memory + headerSize);
    memset(device, 0, objectSize + extensionSize);
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->DeviceExtension = extensionSize ? memory + headerSize + objectSize : nullptr;
    device->DeviceType = type;
    device->Characteristics = characteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->AlignmentRequirement = 0;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    if (name && name->Buffer && name->Length) {
        header->name = FromUnicodeString(name);
        NTSTATUS status = InsertDeviceName(header->name, device);
        if (!NT_SUCCESS(status)) {
            header->~DeviceHeader();
            std::free(memory);
            return status;
        }
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    liveDevices().push_back(device);
    *result = device;
    return STATUS_SUCCESS;
}

}  // namespace

DeviceHeader *HeaderOf(PDEVICE_OBJECT device)
{
    auto *header = reinterpret_cast<DeviceHeader *>(reinterpret_cast<unsigned char *>(device) -
                                                    RoundUp(sizeof(DeviceHeader)));
    if (header->magic != kDeviceMagic) {
        VerifierFail("device object", header->magic == kDeletedDeviceMagic ? "use of a deleted device object"
                                                                             : "not a device object");
        return nullptr;
    }
    return header;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

std::vector<PDEVICE_OBJECT> LiveDevices() { return liveDevices(); }

PDEVICE_OBJECT CreatePlatformDevice(PDRIVER_OBJECT driver, std::u16string_view name, ULONG type)
{
    CountedString uname(name);
    PDEVICE_OBJECT device = nullptr;
    CreateDeviceCommon(driver, 0, &uname.string, type, 0, FALSE, &device, false);
    if (device)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

namespace {
std::function<void(PDEVICE_OBJECT)> &deletionObserver()
{
    static std::function<void(PDEVICE_OBJECT)> observer;
    return observer;
}
}  // namespace

void SetDeviceDeletionObserver(std::function<void(PDEVICE_OBJECT)> observer) { deletionObserver() = std::move(observer); }

namespace {
std::function<void(PDEVICE_OBJECT)> &handleClosedObserver()
{
    static std::function<void(PDEVICE_OBJECT)> observer;
    return observer;
}

// Deleted devices still referenced.
std::vector<PDEVICE_OBJECT> &zombies()
{
    static std::vector<PDEVICE_OBJECT> v;
    return v;
}

bool IsDevice(PVOID object)
{
    auto *device = static_cast<PDEVICE_OBJECT>(object);
    auto has = [device](const std::vector<PDEVICE_OBJECT> &v) {
        return std::find(v.begin(), v.end(), device) != v.end();
    };
    return has(liveDevices()) || has(zombies());
}

// The last reference to a deleted device went: it leaves its driver's list
// and its memory goes, as IoDeleteDevice does at once for an unreferenced one.
void FreeDevice(PDEVICE_OBJECT device)
{
    DeviceHeader *header = HeaderOf(device);
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link; link = &(*link)->NextDevice)
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    auto &z = zombies();
    z.erase(std::remove(z.begin(), z.end(), device), z.end());
    header->magic = kDeletedDeviceMagic;
    header->~DeviceHeader();
    std::free(header);
}

void FreeIfUnreferenced(PDEVICE_OBJECT device)
{
    DeviceHeader *header = HeaderOf(device);
    if (header && header->deletePending && header->pointerReferences == 0 && device->ReferenceCount == 0)
        FreeDevice(device);
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device)
{
    while (DeviceHeader *header = HeaderOf(device)) {
        if (!header->lower)
            break;
        device = header->lower;
    }
    return device;
}
}  // namespace

void SetHandleClosedObserver(std::function<void(PDEVICE_OBJECT)> observer)
{
    handleClosedObserver() = std::move(observer);
}

LONG StackOpenCount(PDEVICE_OBJECT device)
{
    LONG open = 0;
    for (PDEVICE_OBJECT d = BottomOfStack(device); d; d = d->AttachedDevice)
        open += d->ReferenceCount;
    return open;
}

void MarkStackRemovePending(PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT d = BottomOfStack(device); d; d = d->AttachedDevice)
        HeaderOf(d)->removePending = true;
}

// Called by the I/O manager for a file object's device.
void ReferenceForOpen(PDEVICE_OBJECT device) { ++device->ReferenceCount; }
// The observer may remove the stack at once (its worker can run before it
// returns), so the device is not touched after it is told.
void DereferenceForClose(PDEVICE_OBJECT device)
{
    --device->ReferenceCount;
    FreeIfUnreferenced(device);
    if (handleClosedObserver())
        handleClosedObserver()(device);
}

// Why an open of the device fails before any driver sees it, or success.
NTSTATUS CheckOpenable(PDEVICE_OBJECT device)
{
    if (device->Flags & DO_DEVICE_INITIALIZING)
        return STATUS_NO_SUCH_DEVICE;
    for (PDEVICE_OBJECT d = BottomOfStack(device); d; d = d->AttachedDevice) {
        DeviceHeader *header = HeaderOf(d);
        if (header->deletePending || header->removePending)
            return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view driverName, std::u16string_view serviceName)
{
    auto *record = new DriverRecord{};
    record->name = driverName;
    record->service = serviceName;
    PDRIVER_OBJECT driver = &record->object;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &record->extension;
    record->extension.DriverObject = driver;
    record->extension.ServiceKeyName.Buffer = W(record->service.data());
    record->extension.ServiceKeyName.Length = static_cast<USHORT>(record->service.size() * 2);
    record->extension.ServiceKeyName.MaximumLength = record->extension.ServiceKeyName.Length;
    driver->DriverName.Buffer = W(record->name.data());
    driver->DriverName.Length = static_cast<USHORT>(record->name.size() * 2);
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (auto &entry : driver->MajorFunction)
        entry = NoDispatch;
    drivers().push_back(record);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    auto &all = drivers();
    for (auto it = all.begin(); it != all.end(); ++it)
        if (&(*it)->object == driver) {
            if (driver->DeviceObject)
                VerifierFail("driver object", "driver '" + ToUtf8(&driver->DriverName) +
                                                  "' unloaded while it still has device objects");
            delete *it;
            all.erase(it);
            return;
        }
}

void ResetDevicesAndDrivers()
{
    for (PDEVICE_OBJECT device : zombies())
        liveDevices().push_back(device);
    zombies().clear();
    for (PDEVICE_OBJECT device : liveDevices()) {
        DeviceHeader *header = HeaderOf(device);
        header->magic = kDeletedDeviceMagic;
        header->~DeviceHeader();
        std::free(header);
    }
    liveDevices().clear();
    for (DriverRecord *record : drivers())
        delete record;
    drivers().clear();
}

}  // namespace plat

using namespace plat;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject)
{
    return CreateDeviceCommon(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                              DeviceCharacteristics, Exclusive, DeviceObject);
}

NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                              BOOLEAN Exclusive, PCUNICODE_STRING DefaultSDDLString,
                              LPCGUID DeviceClassGuid, PDEVICE_OBJECT *DeviceObject)
{
    if (!DefaultSDDLString || !DefaultSDDLString->Buffer || !DeviceClassGuid)
        return STATUS_INVALID_PARAMETER;
    std::u16string sddl = FromUnicodeString(DefaultSDDLString);
    if (sddl.rfind(u"D:", 0) != 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = CreateDeviceCommon(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                         DeviceCharacteristics, Exclusive, DeviceObject);
    if (NT_SUCCESS(status)) {
        DeviceHeader *header = HeaderOf(*DeviceObject);
        header->sddl = sddl;
        header->classGuid = *DeviceClassGuid;
        header->hasClassGuid = true;
    }
    return status;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    DeviceHeader *header = HeaderOf(DeviceObject);
    if (!header)
        return;
    // After reporting, the neighbours are unlinked so that the stack left
    // behind points at no freed memory.
    if (PDEVICE_OBJECT lower = header->lower) {
        VerifierFail("device object", "device '" + ToUtf8(header->name) +
                                          "' deleted while still attached to a lower device");
        if (lower->AttachedDevice == DeviceObject)
            lower->AttachedDevice = nullptr;
        header->lower = nullptr;
        ObDereferenceObject(lower);
    }
    if (DeviceObject->AttachedDevice) {
        VerifierFail("device object", "device '" + ToUtf8(header->name) +
                                          "' deleted while another device is attached to it");
        if (DeviceHeader *upper = HeaderOf(DeviceObject->AttachedDevice))
            upper->lower = nullptr;
        DeviceObject->AttachedDevice = nullptr;
        --header->pointerReferences;  // the upper device's, which it no longer holds
    }
    if (size_t held = IrpsHeldAt(DeviceObject))
        VerifierFail("device object", "device '" + ToUtf8(header->name) + "' deleted while " +
                                          std::to_string(held) + " request(s) are still at it");
    if (header->deletePending) {
        VerifierFail("device object", "IoDeleteDevice of '" + ToUtf8(header->name) + "' a second time");
        return;
    }
    if (deletionObserver())
        deletionObserver()(DeviceObject);
    // The name goes at once; the object lives on while open files or
    // pointer references still reach it.
    RemoveDeviceName(DeviceObject);
    auto &live = liveDevices();
    live.erase(std::remove(live.begin(), live.end(), DeviceObject), live.end());
    header->deletePending = true;
    zombies().push_back(DeviceObject);
    FreeIfUnreferenced(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    if (!HeaderOf(SourceDevice) || !HeaderOf(TargetDevice))
        return nullptr;
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    HeaderOf(SourceDevice)->lower = top;
    // The attached device keeps the one below alive until it detaches.
    ObReferenceObject(top);
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (!upper) {
        VerifierFail("device object", "IoDetachDevice of a device that has nothing attached");
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    HeaderOf(upper)->lower = nullptr;
    ObDereferenceObject(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ObReferenceObject(top);
    return top;
}

// Only device objects are counted; the other objects the platform hands out
// live as long as their owner keeps them.
VOID ObReferenceObject(PVOID Object)
{
    if (IsDevice(Object))
        ++HeaderOf(static_cast<PDEVICE_OBJECT>(Object))->pointerReferences;
}

VOID ObDereferenceObject(PVOID Object)
{
    if (!IsDevice(Object))
        return;
    auto *device = static_cast<PDEVICE_OBJECT>(Object);
    DeviceHeader *header = HeaderOf(device);
    if (header->pointerReferences <= 0) {
        VerifierFail("device object", "ObDereferenceObject of '" + ToUtf8(header->name) +
                                          "' without a reference to drop");
        return;
    }
    --header->pointerReferences;
    FreeIfUnreferenced(device);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (ShouldFail(FaultSite::CreateSymbolicLink))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer || !DeviceName || !DeviceName->Buffer)
        return STATUS_INVALID_PARAMETER;
    return CreateLink(FromUnicodeString(SymbolicLinkName), FromUnicodeString(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer)
        return STATUS_INVALID_PARAMETER;
    return DeleteLink(FromUnicodeString(SymbolicLinkName));
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

}
