// The driver's WMI provider, asked by the machine's WMI service as a WMI
// consumer would ask it: a port's registration and its MSSerial blocks, sizes
// of too-small answers, unknown instances, sets, methods, event and
// collection control, blocks added after registration (also when the update
// is refused), deregistration when a device goes or is surprise-removed,
// requests passed down without a provider, and pool running out while the
// provider is created or grows.
#include "support/TestMachine.h"

#include <cstring>
#include <deque>
#include <optional>

#include "DriverGlobals.h"
#include "KScannerFunction.h"
#include "KVirtualSerialPort.h"
#include "KWmiProvider.h"
#include "PortTable.h"
#include "ex/Pool.h"
#include "wmi/Wmi.h"
#include "wmi/WmiClient.h"

namespace {

using test::Utf8;

constexpr UCHAR Poison = plat::kWmiPoison;
const GUID kPortNameGuid = plat::kMSSerialClasses[0].guid;
const GUID kHardwareGuid = plat::kMSSerialClasses[2].guid;
// Test classes: {3F1C7A00-9D2B-4C5E-8A61-0B7E2D4C9F10} and its neighbours.
const GUID kTestGuids[4] = {
    {0x3F1C7A00, 0x9D2B, 0x4C5E, {0x8A, 0x61, 0x0B, 0x7E, 0x2D, 0x4C, 0x9F, 0x10}},
    {0x3F1C7A01, 0x9D2B, 0x4C5E, {0x8A, 0x61, 0x0B, 0x7E, 0x2D, 0x4C, 0x9F, 0x10}},
    {0x3F1C7A02, 0x9D2B, 0x4C5E, {0x8A, 0x61, 0x0B, 0x7E, 0x2D, 0x4C, 0x9F, 0x10}},
    {0x3F1C7A03, 0x9D2B, 0x4C5E, {0x8A, 0x61, 0x0B, 0x7E, 0x2D, 0x4C, 0x9F, 0x10}},
};
const GUID &kTestGuid = kTestGuids[0];

bool AllPoison(const std::vector<UCHAR> &buffer, size_t from)
{
    for (size_t i = from; i < buffer.size(); ++i)
        if (buffer[i] != Poison)
            return false;
    return true;
}

// A block of `size` bytes of `fill`; the optional statuses replace the
// defaults of KWmiBlock for event and collection control.
class TestBlock : public KWmiBlock {
public:
    TestBlock(ULONG blockSize, UCHAR blockFill) : KWmiBlock(nullptr), size(blockSize), fill(blockFill) {}
    NTSTATUS QueryData(PVOID buffer) override
    {
        memset(buffer, fill, size);
        return STATUS_SUCCESS;
    }
    ULONG GetDataSize() override { return size; }
    NTSTATUS EnableEvents(bool enable) override
    {
        events.push_back(enable);
        return eventStatus ? *eventStatus : KWmiBlock::EnableEvents(enable);
    }
    NTSTATUS EnableCollection(bool enable) override
    {
        collections.push_back(enable);
        return collectionStatus ? *collectionStatus : KWmiBlock::EnableCollection(enable);
    }
    // A block that refuses sizes answers one it did not get.
    ULONG SetDataSize(ULONG requested) override
    {
        return refuseSizes ? requested + 1 : KWmiBlock::SetDataSize(requested);
    }
    NTSTATUS SetData(PVOID buffer) override
    {
        ++setCalls;
        if (!acceptSets)
            return KWmiBlock::SetData(buffer);
        received.assign(static_cast<PUCHAR>(buffer), static_cast<PUCHAR>(buffer) + dataSize);
        return STATUS_SUCCESS;
    }

    ULONG size;
    UCHAR fill;
    std::optional<NTSTATUS> eventStatus;
    std::optional<NTSTATUS> collectionStatus;
    bool refuseSizes = false;
    bool acceptSets = false;
    int setCalls = 0;
    std::vector<bool> events;
    std::vector<bool> collections;
    std::vector<UCHAR> received;
};

// An upper filter over a device that refuses the WMI service's registration
// requests and passes every other system-control request down.
class RegistrationRefusingFilter : public KDeviceObject {
public:
    using KDeviceObject::KDeviceObject;
    static RegistrationRefusingFilter *AttachTo(PDEVICE_OBJECT device)
    {
        KUnicodeString noName;
        KDeviceCreation creation{};
        void *storage = CreateDeviceObject(sizeof(RegistrationRefusingFilter), DriverGlobals.driverObject, noName,
                                           creation);
        auto *filter = new (storage) RegistrationRefusingFilter(creation);
        filter->CompleteInitialization();
        filter->lower = IoAttachDeviceToDeviceStack(filter->deviceObject, device);
        return filter;
    }
    void DetachAndDelete()
    {
        IoDetachDevice(lower);
        delete this;
    }
    NTSTATUS DispatchSystemControl(PIRP irp) override
    {
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
            irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    }
    PDEVICE_OBJECT lower = nullptr;
};

class WmiProviderTest : public test::MachineTest {
protected:
    KVirtualSerialPort *Port(ULONG slot) const { return DriverGlobals.portTable[slot].port; }

    // Blocks live as long as the test, past every device they were given to.
    TestBlock *Block(ULONG size, UCHAR fill)
    {
        blocks.emplace_back(size, fill);
        return &blocks.back();
    }

    static const plat::WmiGuidRegistration *Registered(PDEVICE_OBJECT device, const GUID &guid)
    {
        const plat::WmiRegistration *r = plat::FindWmiRegistration(device);
        if (r)
            for (const auto &g : r->guids)
                if (g.guid == guid)
                    return &g;
        return nullptr;
    }

    static PDEVICE_OBJECT FunctionDevice(const std::u16string &instance)
    {
        plat::DeviceNode *node = plat::PnpManager::Get().FindNode(instance);
        return node && node->Pdo() ? node->Pdo()->AttachedDevice : nullptr;
    }

    std::u16string AddUnnamedPort()
    {
        plat::DeviceNodeSetup setup;
        setup.className = u"Ports";
        setup.service = u"VEXLINK";
        std::u16string instance = plat::PnpManager::NextRootInstance(u"PORTS");
        plat::PnpManager::WriteDeviceNodeKey(instance, setup);
        plat::cm::Registry().SetDword(std::u16string(plat::kEnumRoot) + u"\\" + instance + u"\\Device Parameters",
                                      u"SerialSkipExternalNaming", 1);
        plat::PnpManager::Get().ReportDevice(instance, std::make_unique<plat::PhysicalDevice>());
        return instance;
    }

    std::deque<TestBlock> blocks;
};

TEST_F(WmiProviderTest, WmiPortRegistersBothBlocksNamedAfterItsPdo)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    KVirtualSerialPort *port = Port(0);
    ASSERT_TRUE(port->wmiRegistered);
    const plat::WmiRegistration *r = plat::FindWmiRegistration(port->deviceObject);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(IRP_MN_REGINFO_EX, r->regInfoMinor);
    EXPECT_EQ(Utf8(sim::kServiceKey), Utf8(r->registryPath));
    EXPECT_EQ("MofResource", Utf8(r->mofResourceName));
    ASSERT_EQ(2u, r->guids.size());
    for (const GUID &guid : {kPortNameGuid, kHardwareGuid}) {
        const plat::WmiGuidRegistration *g = Registered(port->deviceObject, guid);
        ASSERT_NE(nullptr, g) << plat::WmiGuidText(guid);
        EXPECT_EQ(1u, g->instanceCount);
        EXPECT_EQ(ULONG(WMIREG_FLAG_INSTANCE_PDO), g->flags);
        EXPECT_EQ(port->pdo, g->pdo);
    }
    plat::WmiResult hardware = plat::WmiQueryAllData("MSSerial_HardwareConfiguration");
    ASSERT_EQ(STATUS_SUCCESS, hardware.status);
    ASSERT_EQ(1u, hardware.instances.size());
    EXPECT_EQ(std::vector<UCHAR>(40, 0), hardware.instances[0].data);
    EXPECT_EQ("ROOT\\PORTS\\0000_0", Utf8(hardware.instances[0].name));
    // The three blocks that need the serial settings are not there yet.
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, plat::WmiQueryAllData("MSSerial_CommInfo").status);
}

TEST_F(WmiProviderTest, WmiPortNameBlockIsTheCountedNameReadAtQueryTime)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM12")));
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddUnnamedPort()));
    plat::WmiResult names = plat::WmiQueryAllData("MSSerial_PortName");
    ASSERT_EQ(STATUS_SUCCESS, names.status);
    ASSERT_EQ(3u, names.instances.size());
    EXPECT_EQ((std::vector<UCHAR>{10, 0, 'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}), names.instances[0].data);
    EXPECT_EQ((std::vector<UCHAR>{12, 0, 'C', 0, 'O', 0, 'M', 0, '1', 0, '2', 0, 0, 0}), names.instances[1].data);
    EXPECT_EQ((std::vector<UCHAR>{2, 0, 0, 0}), names.instances[2].data);
    EXPECT_EQ((std::vector<std::string>{
                  "ROOT\\PORTS\\0000_0 \\Device\\VXVIRTPORT0 12 bytes: 0A 00 43 00 4F 00 4D 00 35 00 00 00 "
                  "PortName \"COM5\"",
                  "ROOT\\PORTS\\0001_0 \\Device\\VXVIRTPORT1 14 bytes: 0C 00 43 00 4F 00 4D 00 31 00 32 00 00 00 "
                  "PortName \"COM12\"",
                  "ROOT\\PORTS\\0002_0 \\Device\\VXVIRTPORT2 4 bytes: 02 00 00 00 PortName \"\""}),
              plat::WmiQueryText("MSSerial_PortName"));

    // The name is the port's as it is now, not as it was at construction.
    Port(2)->portName.Assign(L"COM7", 4);
    plat::WmiResult renamed = plat::WmiQuerySingleInstance(Port(2)->deviceObject, kPortNameGuid, 0);
    ASSERT_EQ(STATUS_SUCCESS, renamed.status);
    EXPECT_EQ((std::vector<UCHAR>{10, 0, 'C', 0, 'O', 0, 'M', 0, '7', 0, 0, 0}), renamed.instances.at(0).data);
}

TEST_F(WmiProviderTest, WmiTooSmallAnswerNeedsTheInstancesEachStartingOnAMultipleOfEight)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    KVirtualSerialPort *port = Port(0);
    for (auto [size, fill] : {std::pair<ULONG, UCHAR>{5, 0xA1}, {12, 0xB2}, {1, 0xC3}})
        ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuid, Block(size, fill)));

    // Three pairs put the data at 88; the instances at 88, 96 and 112 end at
    // 113.
    plat::WmiResult all = plat::WmiQueryAllData(kTestGuid, 96);
    ASSERT_EQ(STATUS_SUCCESS, all.status);
    ASSERT_EQ(2u, all.exchanges.size());
    const plat::WmiExchange &first = all.exchanges[0];
    EXPECT_EQ(STATUS_SUCCESS, first.status);
    EXPECT_TRUE(first.tooSmall);
    EXPECT_EQ(113u, first.sizeNeeded);
    EXPECT_EQ(sizeof(WNODE_TOO_SMALL), first.information);
    EXPECT_TRUE(AllPoison(first.buffer, 60));
    EXPECT_EQ(113u, all.exchanges[1].information);
    std::vector<ULONG> offsets;
    for (int i = 0; i < 3; ++i)
        offsets.push_back(reinterpret_cast<const WNODE_ALL_DATA *>(all.exchanges[1].buffer.data())
                              ->OffsetInstanceDataAndLength[i]
                              .OffsetInstanceData);
    EXPECT_EQ((std::vector<ULONG>{88, 96, 112}), offsets);
    ASSERT_EQ(3u, all.instances.size());
    EXPECT_EQ(std::vector<UCHAR>(12, 0xB2), all.instances[1].data);
    EXPECT_EQ(std::vector<UCHAR>(1, 0xC3), all.instances[2].data);

    // A single instance needs its own size after the data offset only.
    plat::WmiResult single = plat::WmiQuerySingleInstance(port->deviceObject, kPortNameGuid, 0, 64);
    ASSERT_EQ(STATUS_SUCCESS, single.status);
    EXPECT_EQ(64u + 12, single.exchanges.at(0).sizeNeeded);
    EXPECT_TRUE(AllPoison(single.exchanges[0].buffer, 64));
}

TEST_F(WmiProviderTest, WmiRequestsToOneInstanceAnswerWithTheBlocksStatus)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    KVirtualSerialPort *port = Port(0);
    TestBlock *refusing = Block(4, 1);
    refusing->refuseSizes = true;
    TestBlock *accepting = Block(4, 2);
    accepting->acceptSets = true;
    ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuids[1], refusing));
    ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuids[2], accepting));
    PDEVICE_OBJECT d = port->deviceObject;
    const std::vector<UCHAR> data{1, 2, 3, 4};

    struct Case {
        const char *what;
        std::function<plat::WmiResult()> request;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"query of a second port name", [&] { return plat::WmiQuerySingleInstance(d, kPortNameGuid, 1); },
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"query of the last possible index", [&] { return plat::WmiQuerySingleInstance(d, kPortNameGuid, 0xFFFFFFFF); },
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"set of the port name", [&] { return plat::WmiSetSingleInstance(d, kPortNameGuid, 0, data); },
         STATUS_WMI_NOT_SUPPORTED},
        {"empty set of the hardware configuration", [&] { return plat::WmiSetSingleInstance(d, kHardwareGuid, 0, {}); },
         STATUS_WMI_NOT_SUPPORTED},
        {"set of a second instance", [&] { return plat::WmiSetSingleInstance(d, kPortNameGuid, 1, data); },
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"set of a block that refuses the size", [&] { return plat::WmiSetSingleInstance(d, kTestGuids[1], 0, data); },
         STATUS_INFO_LENGTH_MISMATCH},
        {"set of a block that takes it", [&] { return plat::WmiSetSingleInstance(d, kTestGuids[2], 0, data); },
         STATUS_SUCCESS},
        {"method of the port name", [&] { return plat::WmiExecuteMethod(d, kPortNameGuid, 0, 1, data, 16); },
         STATUS_WMI_NOT_SUPPORTED},
        {"method of a second instance", [&] { return plat::WmiExecuteMethod(d, kPortNameGuid, 1, 1, data, 16); },
         STATUS_WMI_INSTANCE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        plat::WmiResult result = c.request();
        EXPECT_EQ(c.status, result.status);
        ASSERT_EQ(1u, result.exchanges.size());
        EXPECT_EQ(c.status, result.exchanges[0].status);
        EXPECT_EQ(0u, result.exchanges[0].information);
        // What follows the request's own data is never written.
        size_t dataEnd = result.exchanges[0].minor == IRP_MN_EXECUTE_METHOD ? 72 + data.size()
                         : result.exchanges[0].minor == IRP_MN_CHANGE_SINGLE_INSTANCE ? 64 + data.size()
                                                                                      : 64;
        EXPECT_TRUE(AllPoison(result.exchanges[0].buffer, dataEnd));
    }
    EXPECT_EQ(0, refusing->setCalls);
    EXPECT_EQ(data, accepting->received);
}

TEST_F(WmiProviderTest, WmiEventAndCollectionControlReturnTheLastInstancesStatus)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    KVirtualSerialPort *port = Port(0);
    TestBlock *first = Block(1, 1);
    TestBlock *last = Block(1, 2);
    first->eventStatus = STATUS_UNSUCCESSFUL;
    last->eventStatus = STATUS_SUCCESS;
    first->collectionStatus = STATUS_SUCCESS;
    ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuid, first));
    ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuid, last));
    PDEVICE_OBJECT d = port->deviceObject;

    EXPECT_EQ(STATUS_SUCCESS, plat::WmiEnableEvents(d, kTestGuid, true).status);
    EXPECT_EQ(STATUS_SUCCESS, plat::WmiEnableEvents(d, kTestGuid, false).status);
    EXPECT_EQ(STATUS_WMI_NOT_SUPPORTED, plat::WmiEnableCollection(d, kTestGuid, true).status);
    EXPECT_EQ((std::vector<bool>{true, false}), first->events);
    EXPECT_EQ((std::vector<bool>{true, false}), last->events);
    EXPECT_EQ((std::vector<bool>{true}), first->collections);
    EXPECT_EQ((std::vector<bool>{true}), last->collections);
    // The serial blocks keep the defaults.
    for (const GUID &guid : {kPortNameGuid, kHardwareGuid}) {
        EXPECT_EQ(STATUS_WMI_NOT_SUPPORTED, plat::WmiEnableEvents(d, guid, true).status);
        EXPECT_EQ(STATUS_WMI_NOT_SUPPORTED, plat::WmiEnableCollection(d, guid, false).status);
    }
}

TEST_F(WmiProviderTest, WmiLateBlocksUpdateTheRegistrationAndARepeatedGuidCountsInstances)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    KVirtualSerialPort *port = Port(0);
    int requests = plat::FindWmiRegistration(port->deviceObject)->regInfoRequests;
    ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuid, Block(2, 0x21)));
    ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuid, Block(3, 0x32)));
    const plat::WmiRegistration *r = plat::FindWmiRegistration(port->deviceObject);
    EXPECT_LT(requests, r->regInfoRequests);
    EXPECT_EQ(3u, r->guids.size());
    EXPECT_EQ(2u, Registered(port->deviceObject, kTestGuid)->instanceCount);
    EXPECT_EQ(1u, Registered(port->deviceObject, kPortNameGuid)->instanceCount);

    plat::WmiResult all = plat::WmiQueryAllData(kTestGuid);
    ASSERT_EQ(STATUS_SUCCESS, all.status);
    ASSERT_EQ(2u, all.instances.size());
    EXPECT_EQ("ROOT\\PORTS\\0000_1", Utf8(all.instances[1].name));
    EXPECT_EQ(std::vector<UCHAR>(3, 0x32), all.instances[1].data);
    // A scanner publishes nothing but is registered all the same.
    std::vector<std::u16string> scanner = Plug(u"SN-1");
    ASSERT_FALSE(scanner.empty());
    const plat::WmiRegistration *s = plat::FindWmiRegistration(FunctionDevice(scanner[0]));
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(s->guids.empty());
}

// The update after a late block fails: the block is the provider's all the
// same, so the addition succeeds, and the next update that gets through
// covers it.
TEST_F(WmiProviderTest, WmiBlockWhoseUpdateFailsIsAddedAndCoveredByTheNextUpdate)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    KVirtualSerialPort *port = Port(0);
    RegistrationRefusingFilter *filter = RegistrationRefusingFilter::AttachTo(port->deviceObject);
    EXPECT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuids[0], Block(2, 0x21)));
    EXPECT_EQ(nullptr, Registered(port->deviceObject, kTestGuids[0]));
    filter->DetachAndDelete();

    EXPECT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuids[1], Block(3, 0x32)));
    for (const GUID &guid : {kTestGuids[0], kTestGuids[1]}) {
        const plat::WmiGuidRegistration *registered = Registered(port->deviceObject, guid);
        ASSERT_NE(nullptr, registered);
        EXPECT_EQ(1u, registered->instanceCount);
    }
    plat::WmiResult late = plat::WmiQueryAllData(kTestGuids[0]);
    ASSERT_EQ(STATUS_SUCCESS, late.status);
    ASSERT_EQ(1u, late.instances.size());
    EXPECT_EQ(std::vector<UCHAR>(2, 0x21), late.instances[0].data);
}

// A device that is surprise-removed is gone for WMI at once, before the
// removal that destroys it.
TEST_F(WmiProviderTest, WmiSurpriseRemovalDeregistersTheDevice)
{
    AddPort(u"COM5");
    std::u16string port = AddPort(u"COM6");
    std::u16string scanner = Plug(u"SN-1").at(0);
    for (const std::u16string &instance : {port, scanner}) {
        SCOPED_TRACE(Utf8(instance));
        plat::DeviceNode *node = plat::PnpManager::Get().FindNode(instance);
        PDEVICE_OBJECT device = FunctionDevice(instance);
        ASSERT_TRUE(plat::WmiRegistered(device));
        EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().SendPnpIrp(node, IRP_MN_SURPRISE_REMOVAL));
        EXPECT_FALSE(plat::WmiRegistered(device));
        plat::PnpManager::Get().DeviceGone(node);
    }
    plat::WmiResult names = plat::WmiQueryAllData(kPortNameGuid);
    ASSERT_EQ(1u, names.instances.size());
    EXPECT_EQ((std::vector<UCHAR>{10, 0, 'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}), names.instances[0].data);
    EXPECT_EQ(1u, plat::WmiRegistrations().size());
}

TEST_F(WmiProviderTest, WmiDevicesThatGoAreDeregistered)
{
    std::u16string first = AddPort(u"COM5");
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM6")));
    std::vector<std::u16string> scanner = Plug(u"SN-1");
    ASSERT_FALSE(scanner.empty());
    PDEVICE_OBJECT firstDevice = FunctionDevice(first);
    PDEVICE_OBJECT scannerDevice = FunctionDevice(scanner[0]);
    ASSERT_TRUE(plat::WmiRegistered(firstDevice));
    ASSERT_TRUE(plat::WmiRegistered(scannerDevice));

    ASSERT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(plat::PnpManager::Get().FindNode(first), false));
    EXPECT_FALSE(plat::WmiRegistered(firstDevice));
    plat::WmiResult names = plat::WmiQueryAllData(kPortNameGuid);
    ASSERT_EQ(1u, names.instances.size());
    EXPECT_EQ((std::vector<UCHAR>{10, 0, 'C', 0, 'O', 0, 'M', 0, '6', 0, 0, 0}), names.instances[0].data);

    ASSERT_TRUE(machine->UnplugScanner(u"SN-1"));
    EXPECT_FALSE(plat::WmiRegistered(scannerDevice));
    EXPECT_EQ(1u, plat::WmiRegistrations().size());
}

// Every pool allocation of adding a port fails in turn (the driver is
// loaded already): a port that comes up publishes both blocks; one that
// cannot fails AddDevice and leaves no registration behind (what it
// allocated is checked at unload).
TEST_F(WmiProviderTest, WmiPortWithoutPoolForItsBlocksFailsItsAddDevice)
{
    int failed = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE(n);
        Restart();
        ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM4")));
        plat::InjectFault(plat::FaultSite::PoolAllocation, n);
        std::u16string node = AddPort(u"COM5");
        if (!FaultUsed())
            break;
        plat::WmiResult names = plat::WmiQueryAllData(kPortNameGuid);
        if (AddStatus(node) == STATUS_SUCCESS) {
            ASSERT_EQ(STATUS_SUCCESS, names.status);
            ASSERT_EQ(2u, names.instances.size());
            EXPECT_EQ(12u, names.instances[1].data.size());
            EXPECT_TRUE(Registered(FunctionDevice(node), kHardwareGuid));
        } else {
            EXPECT_EQ(STATUS_SUCCESS, names.status);
            EXPECT_EQ(1u, names.instances.size());
            EXPECT_EQ(1u, plat::WmiRegistrations().size());
            ++failed;
        }
        ASSERT_LT(n, 1000);
    }
    EXPECT_LT(0, failed);
}

// A device whose provider could not be created is not registered, and the
// system-control requests it still gets go down its stack as they came.
TEST_F(WmiProviderTest, WmiScannerWithoutProviderPassesRequestsDownUntouched)
{
    bool seen = false;
    for (int n = 1; !seen; ++n) {
        SCOPED_TRACE(n);
        Restart();
        // The driver is loaded by a first scanner, which is left alone.
        ASSERT_FALSE(Plug(u"SN-0").empty());
        plat::InjectFault(plat::FaultSite::PoolAllocation, n);
        std::vector<std::u16string> nodes = Plug(u"SN-1");
        ASSERT_TRUE(FaultUsed()) << "no scanner came up without its WMI provider";
        PDEVICE_OBJECT scanner = nodes.empty() ? nullptr : FunctionDevice(nodes[0]);
        if (!scanner || plat::WmiRegistered(scanner))
            continue;
        seen = true;
        auto *function = static_cast<KScannerFunction *>(static_cast<KDeviceObject *>(scanner->DeviceExtension));
        EXPECT_EQ(nullptr, function->wmiProvider);
        for (UCHAR minor : {UCHAR(IRP_MN_QUERY_ALL_DATA), UCHAR(IRP_MN_REGINFO_EX), UCHAR(IRP_MN_ENABLE_EVENTS)}) {
            SCOPED_TRACE(minor);
            GUID guid = kPortNameGuid;
            std::vector<UCHAR> request = plat::WmiAllDataRequest(guid, 128);
            plat::WmiExchange e =
                plat::WmiSendRequest(scanner, minor, reinterpret_cast<ULONG_PTR>(scanner), &guid, request);
            EXPECT_EQ(STATUS_NOT_SUPPORTED, e.status);
            EXPECT_EQ(0u, e.information);
            EXPECT_EQ(request, e.buffer);
        }
    }
}

// Adding a block at the end of the arrays' capacity: whichever allocation
// fails, the addition reports it and the provider and registration stay as
// they were; the same addition succeeds afterwards.
TEST_F(WmiProviderTest, WmiArrayGrowthWithoutPoolLeavesTheProviderAsItWas)
{
    struct Case {
        const char *what;
        const GUID *guid;  // of the fifth block
        int guidCount;     // GUIDs afterwards
    };
    // The port's two blocks and two test GUIDs fill four entries; a fourth
    // instance fills the first test GUID's instance array.
    for (const Case &c : {Case{"a fifth GUID", &kTestGuids[3], 5}, Case{"a fifth instance", &kTestGuids[0], 4}}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(c.what) + ", allocation " + std::to_string(n));
            Restart();
            ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
            KVirtualSerialPort *port = Port(0);
            for (int i = 0; i < 4; ++i)
                ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuids[0], Block(2, UCHAR(i))));
            ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(kTestGuids[1], Block(2, 0x10)));
            ASSERT_EQ(4u, plat::FindWmiRegistration(port->deviceObject)->guids.size());
            TestBlock *fifth = Block(3, 0x5A);

            plat::InjectFault(plat::FaultSite::PoolAllocation, n);
            NTSTATUS status = port->AddWmiBlock(*c.guid, fifth);
            if (!FaultUsed()) {
                EXPECT_EQ(STATUS_SUCCESS, status);
                break;
            }
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
            EXPECT_EQ(4u, plat::FindWmiRegistration(port->deviceObject)->guids.size());
            EXPECT_EQ(4u, Registered(port->deviceObject, kTestGuids[0])->instanceCount);
            EXPECT_EQ(4u, plat::WmiQueryAllData(kTestGuids[0]).instances.size());
            EXPECT_EQ(1u, plat::WmiQueryAllData(kPortNameGuid).instances.size());

            ASSERT_EQ(STATUS_SUCCESS, port->AddWmiBlock(*c.guid, fifth));
            EXPECT_EQ(size_t(c.guidCount), plat::FindWmiRegistration(port->deviceObject)->guids.size());
            plat::WmiResult grown = plat::WmiQueryAllData(*c.guid);
            ASSERT_EQ(STATUS_SUCCESS, grown.status);
            EXPECT_EQ(std::vector<UCHAR>(3, 0x5A), grown.instances.back().data);
            ASSERT_LT(n, 10);
        }
    }
}

}  // namespace
