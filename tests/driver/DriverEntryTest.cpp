// Driver entry and unload, the platform ordinal, and request dispatch through
// the I/O manager.
#include "support/TestMachine.h"

#include "DriverGlobals.h"
#include "KControlDeviceObject.h"
#include "ex/Pool.h"
#include "ob/Namespace.h"

namespace {

using test::Utf8;

class DriverEntryTest : public test::MachineTest {
protected:
    // Loads the driver by giving it a device node.
    void Load() { ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3"))); }
};

// A device class that overrides every dispatch operation and records which
// one ran.
class RecordingDevice : public KDeviceObject {
public:
    using KDeviceObject::KDeviceObject;
    int handled = -1;

#define RECORD(name, code)              \
    NTSTATUS name(PIRP irp) override    \
    {                                   \
        handled = code;                 \
        irp->IoStatus.Information = 0x1000 + code; \
        irp->IoStatus.Status = STATUS_SUCCESS; \
        IofCompleteRequest(irp, IO_NO_INCREMENT); \
        return STATUS_SUCCESS;          \
    }
    RECORD(DispatchCreate, 0x00)
    RECORD(DispatchCreateNamedPipe, 0x01)
    RECORD(DispatchClose, 0x02)
    RECORD(DispatchRead, 0x03)
    RECORD(DispatchWrite, 0x04)
    RECORD(DispatchQueryInformation, 0x05)
    RECORD(DispatchSetInformation, 0x06)
    RECORD(DispatchQueryEa, 0x07)
    RECORD(DispatchSetEa, 0x08)
    RECORD(DispatchFlushBuffers, 0x09)
    RECORD(DispatchQueryVolumeInformation, 0x0A)
    RECORD(DispatchSetVolumeInformation, 0x0B)
    RECORD(DispatchDirectoryControl, 0x0C)
    RECORD(DispatchFileSystemControl, 0x0D)
    RECORD(DispatchDeviceControl, 0x0E)
    RECORD(DispatchInternalDeviceControl, 0x0F)
    RECORD(DispatchShutdown, 0x10)
    RECORD(DispatchLockControl, 0x11)
    RECORD(DispatchCleanup, 0x12)
    RECORD(DispatchCreateMailslot, 0x13)
    RECORD(DispatchQuerySecurity, 0x14)
    RECORD(DispatchSetSecurity, 0x15)
    RECORD(DispatchPower, 0x16)
    RECORD(DispatchSystemControl, 0x17)
    RECORD(DispatchDeviceChange, 0x18)
    RECORD(DispatchQueryQuota, 0x19)
    RECORD(DispatchSetQuota, 0x1A)
    RECORD(DispatchPnp, 0x1B)
#undef RECORD
};

RecordingDevice *CreateRecordingDevice(const wchar_t *name)
{
    KUnicodeString deviceName(name);
    KDeviceCreation creation{};
    void *storage = CreateDeviceObject(sizeof(RecordingDevice), DriverGlobals.driverObject, deviceName, creation);
    auto *device = new (storage) RecordingDevice(creation);
    device->CompleteInitialization();
    return device;
}

TEST_F(DriverEntryTest, EveryMajorFunctionReachesItsOwnHandler)
{
    Load();
    RecordingDevice *device = CreateRecordingDevice(L"\\Device\\VexRecorder");
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_EQ(DriverDispatch, DriverGlobals.driverObject->MajorFunction[major]);
        plat::Request request;
        request.major = major;
        plat::RequestResult result = plat::SendRequest(nullptr, request, device->deviceObject);
        EXPECT_EQ(major, device->handled) << "major " << int(major);
        EXPECT_EQ(0x1000u + major, result.information);
    }
    delete device;
}

TEST_F(DriverEntryTest, RequestsWithoutAnOverrideAreNotSupportedAndKeepInformation)
{
    Load();
    // The control device overrides nothing yet: every request kind takes the
    // default path.
    PDEVICE_OBJECT control = plat::ResolveDevice(u"\\DosDevices\\VEXLINKCDO");
    ASSERT_NE(nullptr, control);
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        plat::Request request;
        request.major = major;
        request.initialInformation = 0x55555555;
        plat::RequestResult result = plat::SendRequest(nullptr, request, control);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, result.status) << "major " << int(major);
        EXPECT_EQ(0x55555555u, result.information) << "major " << int(major);
    }
}

TEST_F(DriverEntryTest, ControlDeviceHasItsNameLinkAndSecurity)
{
    Load();
    KControlDeviceObject *control = DriverGlobals.controlDevice;
    ASSERT_NE(nullptr, control);
    EXPECT_EQ("\\Device\\VEXLINKCDO", Utf8(control->deviceName));
    EXPECT_TRUE(control->controlLink.Created());
    EXPECT_EQ(control->deviceObject, plat::ResolveDevice(u"\\DosDevices\\VEXLINKCDO"));
    EXPECT_EQ(0, control->openCount);
    plat::DeviceHeader *header = plat::HeaderOf(control->deviceObject);
    EXPECT_EQ("D:P(A;;GA;;;SY)(A;;GA;;;BA)", Utf8(header->sddl));
    EXPECT_EQ(0x27BBD33Du, header->classGuid.Data1);
    EXPECT_EQ(FILE_DEVICE_UNKNOWN, control->deviceObject->DeviceType);
    EXPECT_EQ(0u, control->deviceObject->Flags & DO_DEVICE_INITIALIZING);
}

TEST_F(DriverEntryTest, GlobalsAfterEntry)
{
    Load();
    EXPECT_EQ(plat::TagFromText("VRAK"), DriverGlobals.poolTag);
    EXPECT_EQ(75u, DriverGlobals.minimumTimeoutMs);  // 5 ticks of 15 whole milliseconds
    EXPECT_EQ("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXLINK\\Configuration\\",
              Utf8(DriverGlobals.configurationKeyPath));
    EXPECT_EQ("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VEXLINK", Utf8(DriverGlobals.registryPath));
    EXPECT_EQ(7, DriverGlobals.wdmOrdinal);
    EXPECT_FALSE(DriverGlobals.legacyPlatform);
}

TEST_F(DriverEntryTest, UnloadDeletesEveryDeviceFromTheHeadAndRunsExitCallbacksInReverse)
{
    Load();
    AddPort(u"COM4");
    Plug(u"SN1");
    Plug(u"SN2");
    std::vector<PDEVICE_OBJECT> expected;
    for (PDEVICE_OBJECT d = DriverGlobals.driverObject->DeviceObject; d; d = d->NextDevice)
        expected.push_back(d);
    ASSERT_EQ(5u, expected.size());  // two scanners, two ports, the control device

    static std::vector<int> order;
    order.clear();
    RegisterExitCallback([] { order.push_back(1); });
    RegisterExitCallback([] { order.push_back(2); });
    std::vector<PDEVICE_OBJECT> deleted;
    plat::SetDeviceDeletionObserver([&](PDEVICE_OBJECT d) {
        if (d->DriverObject != plat::PnpManager::Get().BusDriver(u"PnpManager") &&
            d->DriverObject != plat::PnpManager::Get().BusDriver(u"usbhub"))
            deleted.push_back(d);
    });
    // The machine's unload checks that no driver pool is left.
    machine->Reboot();
    plat::SetDeviceDeletionObserver(nullptr);
    // Newest first, except that the last port's destructor deletes the
    // control device before the port's own device object goes.
    std::swap(expected[3], expected[4]);
    EXPECT_EQ(expected, deleted);
    EXPECT_EQ((std::vector<int>{2, 1}), order);
}

// Device objects that no removal reaches are DriverUnload's own to delete:
// the control device of a driver that never had a port (loaded for a scanner
// plugged in before any port node existed) and any other device object that
// is no Plug and Play stack's. They go from the head of the list, before the
// exit callbacks run.
TEST_F(DriverEntryTest, UnloadDeletesTheDevicesNoRemovalReachesFromTheHeadBeforeTheExitCallbacks)
{
    std::u16string scanner = Plug(u"SN1").at(0);
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(scanner));
    ASSERT_NE(nullptr, DriverGlobals.controlDevice);
    RecordingDevice *older = CreateRecordingDevice(L"\\Device\\VexLeftOlder");
    RecordingDevice *newer = CreateRecordingDevice(L"\\Device\\VexLeftNewer");
    std::vector<PDEVICE_OBJECT> expected{plat::PnpManager::Get().FindNode(scanner)->Pdo()->AttachedDevice,
                                         newer->deviceObject, older->deviceObject,
                                         DriverGlobals.controlDevice->deviceObject};

    static PDRIVER_OBJECT driver;
    static bool devicesLeftAtExit;
    driver = DriverGlobals.driverObject;
    devicesLeftAtExit = true;
    RegisterExitCallback([] { devicesLeftAtExit = driver->DeviceObject != nullptr; });
    std::vector<PDEVICE_OBJECT> deleted;
    plat::SetDeviceDeletionObserver([&](PDEVICE_OBJECT d) {
        if (d->DriverObject == driver)
            deleted.push_back(d);
    });
    // The machine reports device objects left after DriverUnload.
    machine->Reboot();
    plat::SetDeviceDeletionObserver(nullptr);
    EXPECT_EQ(expected, deleted);
    EXPECT_FALSE(devicesLeftAtExit);
}

class OrdinalTest : public test::MachineTest, public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(OrdinalTest, FirstAvailableWdmVersionDecides)
{
    auto [major, minor, ordinal] = GetParam();
    options.wdmMajor = static_cast<UCHAR>(major);
    options.wdmMinor = static_cast<UCHAR>(minor);
    Restart();
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    EXPECT_EQ(ordinal, DriverGlobals.wdmOrdinal);
    EXPECT_EQ(ordinal <= 2, DriverGlobals.legacyPlatform);
}

INSTANTIATE_TEST_SUITE_P(WdmVersions, OrdinalTest,
                         ::testing::Values(std::make_tuple(6, 0x00, 7), std::make_tuple(1, 0x30, 6),
                                           std::make_tuple(1, 0x20, 5), std::make_tuple(1, 0x10, 4),
                                           std::make_tuple(1, 0x05, 2), std::make_tuple(1, 0x0A, 2),
                                           std::make_tuple(1, 0x00, 1)));

TEST_F(DriverEntryTest, OrdinalZeroNeedsAnEmptyServiceKeyName)
{
    Load();
    DRIVER_EXTENSION extension{};
    DRIVER_OBJECT driver{};
    driver.DriverExtension = &extension;
    plat::SetWdmVersion(1, 0);
    EXPECT_EQ(0, WdmOrdinalFor(&driver));
    EXPECT_EQ(1, WdmOrdinalFor(nullptr));
    plat::SetWdmVersion(6, 0);
}

TEST_F(DriverEntryTest, ControlDeviceFailureFailsTheLoadAndLeavesNothing)
{
    plat::InjectFault(plat::FaultSite::CreateDevice, 1);
    std::u16string node = AddPort(u"COM3");
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, AddStatus(node));  // no driver to bind
    const auto &log = plat::DebuggerOutput();
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "vexlink.sys DriverEntry() Exception occurred in DriverEntry"));
    EXPECT_TRUE(plat::PnpManager::Get().LoadedDrivers().empty());
    EXPECT_EQ(0u, plat::PoolInUse(plat::TagFromText("VRAK")).blocks);
}

}  // namespace

namespace {

// Every pool allocation of a driver load (and of the first add) fails in
// turn: a failed load leaves no pool behind, and a load that goes on despite
// the failure leaves none at its unload (the machine's unload check).
TEST_F(DriverEntryTest, PoolFailureAnywhereInTheLoadLeavesNothingBehind)
{
    for (int nth = 1; nth <= 40; ++nth) {
        plat::InjectFault(plat::FaultSite::PoolAllocation, nth);
        AddPort(u"COM3");
        plat::ClearFaults();
        if (plat::PnpManager::Get().LoadedDrivers().empty()) {
            EXPECT_EQ(0u, plat::PoolInUse(plat::TagFromText("VRAK")).blocks) << "allocation " << nth;
        }
        Restart();
    }
}

}  // namespace
