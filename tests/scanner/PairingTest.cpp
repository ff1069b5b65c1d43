// Scanner-to-port pairing through Plug and Play's AddDevice calls, with the
// registry record the pairing leaves.
#include "support/TestMachine.h"

#include "DriverGlobals.h"
#include "KControlDeviceObject.h"
#include "KScannerFunction.h"
#include "KVirtualSerialPort.h"
#include "PortTable.h"
#include "ke/Clock.h"
#include "ob/Namespace.h"

namespace {

using test::Utf8;

class PairingTest : public test::MachineTest {
protected:
    // "serial@COMn" per slot, "-" for an absent item.
    std::vector<std::string> Table() const
    {
        std::vector<std::string> rows;
        for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot) {
            const PortTableEntry &e = DriverGlobals.portTable[slot];
            rows.push_back((e.scanner ? Utf8(e.scanner->serialNumber) : std::string("-")) + "@" +
                           (e.port ? Utf8(e.port->portName) : std::string("-")));
        }
        return rows;
    }
    void SetPortCount(ULONG count) { plat::cm::Registry().SetDword(test::kConfiguration, u"PortCount", count); }
    void Remember(std::u16string_view serial, std::u16string_view port)
    {
        plat::cm::Registry().Create(ScannerKey(serial));
        plat::cm::Registry().SetString(ScannerKey(serial), u"PortName", port);
    }
    KScannerFunction *ScannerIn(ULONG slot) const { return DriverGlobals.portTable[slot].scanner; }
    KVirtualSerialPort *PortIn(ULONG slot) const { return DriverGlobals.portTable[slot].port; }
};

TEST_F(PairingTest, PortsTakeSlotsInOrderOfAdditionWithNumberedDeviceNames)
{
    for (auto name : {u"COM3", u"COM5", u"COM6"})
        ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(name)));
    ASSERT_EQ(11u, DriverGlobals.portTableSize);
    for (ULONG slot = 0; slot < 3; ++slot)
        EXPECT_EQ("\\Device\\VXVIRTPORT" + std::to_string(slot), Utf8(PortIn(slot)->deviceName));
    std::vector<std::string> table = Table();
    table.resize(4);
    EXPECT_EQ((std::vector<std::string>{"-@COM3", "-@COM5", "-@COM6", "-@-"}), table);
}

TEST_F(PairingTest, NewScannerPairsWithThePortInTheLowestOrdinarySlotAndRecordsIt)
{
    plat::SetSystemTime(plat::SystemTimeNow() + 5 * 60 * 10000000LL + 3 * 10000000LL);  // 10:05:03
    AddPort(u"COM3");
    AddPort(u"COM5");
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(Plug(u"SN1", u"Model One")[0]));

    EXPECT_EQ("SN1@COM5", Table()[1]);
    KScannerFunction *scanner = ScannerIn(1);
    EXPECT_EQ(PortIn(1), scanner->pairedPort);
    EXPECT_EQ(scanner, PortIn(1)->pairedScanner);
    EXPECT_EQ("SN1", Utf8(PortIn(1)->scannerSerial));

    std::u16string key = ScannerKey(u"SN1");
    const std::pair<const char16_t *, const char *> expected[] = {
        {u"ModelType", "Model One"}, {u"Flag", "Associated"},           {u"OpenCount", "0"},
        {u"PortName", "COM5"},       {u"TimeStamp", "9-12-2026,10:05:03"}, {u"PortType", "Dynamic"},
    };
    for (auto [name, text] : expected) {
        EXPECT_EQ(text, Value(key, name)) << Utf8(name);
        // REG_SZ with the terminating NUL counted in the data size.
        EXPECT_EQ(static_cast<long>(2 * (strlen(text) + 1)), ValueSize(key, name)) << Utf8(name);
    }
}

TEST_F(PairingTest, ParkedScannerIsPairedByTheNextPortWithThatPortsTimeStamp)
{
    AddPort(u"COM3");
    Plug(u"SN1");
    EXPECT_EQ("SN1@-", Table()[1]);
    EXPECT_EQ("Enumerated", Value(ScannerKey(u"SN1"), u"Flag"));
    EXPECT_EQ("<missing>", Value(ScannerKey(u"SN1"), u"PortName"));

    plat::SetSystemTime(plat::SystemTimeNow() + 3600 * 10000000LL);
    AddPort(u"COM7");
    EXPECT_EQ("SN1@COM7", Table()[1]);
    EXPECT_EQ(PortIn(1), ScannerIn(1)->pairedPort);
    EXPECT_EQ("COM7", Value(ScannerKey(u"SN1"), u"PortName"));
    EXPECT_EQ("9-12-2026,11:00:00", Value(ScannerKey(u"SN1"), u"TimeStamp"));
    EXPECT_EQ("Associated", Value(ScannerKey(u"SN1"), u"Flag"));
}

TEST_F(PairingTest, ReturningScannerGetsItsRememberedPortAboveFreeLowerSlots)
{
    for (auto name : {u"COM3", u"COM5", u"COM6"})
        AddPort(name);
    Remember(u"SN9", u"com6");  // names compare without regard to case
    Plug(u"SN9");
    EXPECT_EQ("-@COM5", Table()[1]);
    EXPECT_EQ("SN9@COM6", Table()[2]);
}

TEST_F(PairingTest, RememberedPortTakenByAnotherScannerGivesTheLowestSlotWithoutScanner)
{
    for (auto name : {u"COM3", u"COM5", u"COM6", u"COM7"})
        AddPort(name);
    Remember(u"SN-B", u"COM6");
    Plug(u"SN-A");          // slot 1
    Remember(u"SN-C", u"COM6");
    Plug(u"SN-B");          // its remembered COM6, slot 2
    Plug(u"SN-C");          // COM6 is taken: lowest slot without a scanner
    std::vector<std::string> table = Table();
    table.resize(4);
    EXPECT_EQ((std::vector<std::string>{"-@COM3", "SN-A@COM5", "SN-B@COM6", "SN-C@COM7"}), table);
    EXPECT_EQ("COM7", Value(ScannerKey(u"SN-C"), u"PortName"));
}

TEST_F(PairingTest, ModemInterfaceAlwaysUsesSlotZeroWithoutReadingDescriptors)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    std::vector<std::u16string> nodes = Plug(u"SNM", u"Composite", true);
    ASSERT_EQ(2u, nodes.size());
    for (const auto &node : nodes)
        EXPECT_EQ(STATUS_SUCCESS, AddStatus(node));

    EXPECT_EQ("000000000000@COM3", Table()[0]);
    EXPECT_EQ("SNM@COM5", Table()[1]);  // the scanner function of the composite device
    KScannerFunction *modem = ScannerIn(0);
    EXPECT_EQ(0x86, modem->bulkInEndpoint);
    EXPECT_EQ(0x06, modem->bulkOutEndpoint);
    EXPECT_EQ(0x82, ScannerIn(1)->bulkInEndpoint);
    auto *modemBus = static_cast<plat::UsbFunction *>(plat::PnpManager::Get().FindNode(nodes[1])->bus.get());
    EXPECT_EQ(0u, modemBus->urbCount);

    std::u16string key = ScannerKey(u"000000000000");
    EXPECT_EQ("DIro Modem", Value(key, u"ModelType"));
    EXPECT_EQ("Static", Value(key, u"PortType"));
    EXPECT_EQ("N/A", Value(key, u"Flag"));
    EXPECT_EQ("COM3", Value(key, u"PortName"));
}

TEST_F(PairingTest, PortsClassNameMatchesWholeAndWithoutCase)
{
    struct Case {
        const char16_t *className;
        bool port;
    };
    const Case cases[] = {{u"PORTS", true}, {u"ports", true}, {u"PortsX", false}, {u"Port", false}};
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));  // loads the driver
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(Utf8(c.className));
        plat::DeviceNodeSetup setup;
        setup.className = c.className;
        setup.service = u"VEXLINK";
        setup.deviceParameters = {{u"PortName", u"COM" + plat::FromUtf8(std::to_string(10 + n++))}};
        std::u16string instance = plat::PnpManager::NextRootInstance(u"PORTS");
        plat::PnpManager::WriteDeviceNodeKey(instance, setup);
        LONG portsBefore = DriverGlobals.livePortCount;
        plat::PnpManager::Get().ReportDevice(instance, std::make_unique<plat::PhysicalDevice>());
        // Anything else is taken for a scanner, which a root device cannot
        // identify.
        EXPECT_EQ(c.port, NT_SUCCESS(AddStatus(instance)));
        EXPECT_EQ(portsBefore + (c.port ? 1 : 0), DriverGlobals.livePortCount);
    }
}

TEST_F(PairingTest, ModemHardwareIdMatchesWholeAndWithoutCase)
{
    struct Case {
        const char16_t *id;
        bool modem;
    };
    const Case cases[] = {
        {u"USB\\VID_E7A3&PID_0214&MI_01", true},
        {u"usb\\vid_e7a3&pid_0214&mi_01", true},
        {u"USB\\VID_E7A3&PID_0214&MI_01&REV_0100", false},
        {u"USB\\VID_E7A3&PID_0214&MI_0", false},
    };
    AddPort(u"COM3");
    int n = 0;
    for (const Case &c : cases) {
        plat::ScannerModel model;
        model.serial = u"HW" + plat::FromUtf8(std::to_string(n++));
        model.hardwareIds = {u"USB\\OTHER", c.id};
        machine->PlugScanner(model);
        bool inSlotZero = ScannerIn(0) && Utf8(ScannerIn(0)->serialNumber) == "000000000000";
        EXPECT_EQ(c.modem, inSlotZero) << Utf8(c.id);
        if (inSlotZero)
            delete ScannerIn(0);  // leaves slot 0 for the next case
    }
}

TEST_F(PairingTest, OrdinaryScannerWithTheModemSerialTakesSlotZeroWithItsOwnIdentity)
{
    AddPort(u"COM3");
    Plug(u"000000000000", u"Lookalike");
    KScannerFunction *scanner = ScannerIn(0);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(0x82, scanner->bulkInEndpoint);
    EXPECT_EQ(0x04, scanner->bulkOutEndpoint);
    EXPECT_EQ("Lookalike", Utf8(scanner->modelName));
    EXPECT_EQ("Static", Value(ScannerKey(u"000000000000"), u"PortType"));
}

TEST_F(PairingTest, TableFullLeavesTheExtraScannerUnplacedEvenAfterAnotherLeaves)
{
    SetPortCount(2);
    AddPort(u"COM3");
    AddPort(u"COM5");
    Plug(u"S1");
    Plug(u"S2");
    std::u16string third = Plug(u"S3")[0];
    EXPECT_EQ(STATUS_SUCCESS, AddStatus(third));
    EXPECT_EQ((std::vector<std::string>{"-@COM3", "S1@COM5", "S2@-"}), Table());
    KScannerFunction *unplaced = nullptr;
    for (PLIST_ENTRY e = DriverGlobals.scannerList.Flink; e != &DriverGlobals.scannerList; e = e->Flink) {
        auto *s = CONTAINING_RECORD(e, KScannerFunction, scannerListEntry);
        if (Utf8(s->serialNumber) == "S3")
            unplaced = s;
    }
    ASSERT_NE(nullptr, unplaced);
    EXPECT_EQ(nullptr, unplaced->pairedPort);
    EXPECT_EQ("Enumerated", Value(ScannerKey(u"S3"), u"Flag"));

    delete ScannerIn(1);
    EXPECT_EQ("-@COM5", Table()[1]);
    EXPECT_EQ(nullptr, unplaced->pairedPort);
}

TEST_F(PairingTest, PortBeyondTheTableFailsAndConsumesNoNumber)
{
    SetPortCount(1);
    EXPECT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    EXPECT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM4")));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, AddStatus(AddPort(u"COM5")));
    EXPECT_EQ(1, DriverGlobals.lastPortNumber);
    EXPECT_EQ(2, DriverGlobals.livePortCount);
}

TEST_F(PairingTest, RemovingAPairedScannerFreesThePortAndKeepsItsName)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    Plug(u"SN1");
    KVirtualSerialPort *port = PortIn(1);
    delete ScannerIn(1);
    EXPECT_EQ("-@COM5", Table()[1]);
    EXPECT_EQ(nullptr, port->pairedScanner);
    EXPECT_EQ("", Value(ScannerKey(u"SN1"), u"Flag"));
    EXPECT_EQ(2, ValueSize(ScannerKey(u"SN1"), u"Flag"));
    EXPECT_EQ("COM5", Value(ScannerKey(u"SN1"), u"PortName"));

    Plug(u"SN1");
    EXPECT_EQ("SN1@COM5", Table()[1]);
}

TEST_F(PairingTest, ScannerRemovalWithoutStringStorageKeepsTheOldRecord)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    Plug(u"SN1");
    KVirtualSerialPort *port = PortIn(1);
    plat::FailPoolTag(DriverGlobals.poolTag);
    delete ScannerIn(1);
    plat::ClearFaults();
    EXPECT_EQ(nullptr, port->pairedScanner);
    EXPECT_EQ("-@COM5", Table()[1]);
    EXPECT_EQ("Associated", Value(ScannerKey(u"SN1"), u"Flag"));
}

TEST_F(PairingTest, LastPortGoneTakesTableAndControlDeviceWhichTheNextAddRecreates)
{
    Plug(u"SN1");  // creates the table; the scanner waits in slot 1
    ASSERT_NE(nullptr, DriverGlobals.portTable);
    KScannerFunction *scanner = ScannerIn(1);
    // A port without a PortName fails its initialisation and is destroyed:
    // the only port going away empties the driver of ports.
    EXPECT_NE(STATUS_SUCCESS, AddStatus(AddPortNode({})));
    EXPECT_EQ(nullptr, DriverGlobals.portTable);
    EXPECT_EQ(nullptr, DriverGlobals.controlDevice);
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\DosDevices\\VEXLINKCDO"));
    EXPECT_EQ(nullptr, scanner->pairedPort);

    EXPECT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM4")));
    ASSERT_NE(nullptr, DriverGlobals.portTable);
    ASSERT_NE(nullptr, DriverGlobals.controlDevice);
    EXPECT_EQ(0u, DriverGlobals.controlDevice->deviceObject->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_NE(nullptr, plat::ResolveDevice(u"\\DosDevices\\VEXLINKCDO"));
    // A fresh, empty table: the scanner alive before is in none.
    EXPECT_EQ("-@COM4", Table()[0]);
    EXPECT_EQ("-@-", Table()[1]);
    EXPECT_EQ(nullptr, scanner->pairedPort);
    EXPECT_EQ("\\Device\\VXVIRTPORT1", Utf8(PortIn(0)->deviceName));  // numbering only grows
}

TEST_F(PairingTest, SerialNumberWithBackslashMakesNestedKeys)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    Plug(u"LOT7\\SN2");
    EXPECT_EQ("LOT7\\SN2@COM5", Table()[1]);
    EXPECT_NE(nullptr, plat::cm::Registry().Find(ScannerKey(u"LOT7")));
    EXPECT_EQ("COM5", Value(ScannerKey(u"LOT7\\SN2"), u"PortName"));
}

TEST_F(PairingTest, ScannerWithoutReadableIdentityIsRejectedAndWritesNothing)
{
    AddPort(u"COM3");
    plat::ScannerModel model;
    model.serial = u"SNX";
    model.failDescriptorReads = true;
    std::u16string node = machine->PlugScanner(model)[0];
    EXPECT_FALSE(NT_SUCCESS(AddStatus(node)));
    EXPECT_EQ(nullptr, plat::cm::Registry().Find(ScannerKey(u"SNX")));
    EXPECT_EQ("<missing>", Value(test::kConfiguration, u"ModelType"));
    EXPECT_EQ("<missing>", Value(test::kConfiguration, u"Flag"));
    EXPECT_EQ(10u, plat::cm::Registry().GetDword(test::kConfiguration, u"PortCount").value());
    EXPECT_TRUE(IsListEmpty(&DriverGlobals.scannerList));
}

TEST_F(PairingTest, ScannerKeyThatCannotBeCreatedFailsTheAdd)
{
    AddPort(u"COM3");
    plat::InjectFault(plat::FaultSite::RegistryWrite, 1, 2);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, AddStatus(Plug(u"SN1")[0]));
    plat::ClearFaults();
    EXPECT_TRUE(IsListEmpty(&DriverGlobals.scannerList));
    EXPECT_EQ("-@-", Table()[1]);
}

class PairingWithoutConfigurationTest : public PairingTest {
protected:
    void BeforeBoot() override
    {
        sim::InstallDriverService();
        plat::cm::Registry().DeleteTree(test::kConfiguration);
    }
};

TEST_F(PairingWithoutConfigurationTest, AddDeviceFailsWithAMessage)
{
    EXPECT_EQ(STATUS_UNSUCCESSFUL, AddStatus(AddPort(u"COM3")));
    const auto &log = plat::DebuggerOutput();
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "Driver Entry Open to registry failed"));
}

TEST_F(PairingTest, MissingPortCountGivesOneSlotForTheFirstPortAndTheModem)
{
    plat::cm::Registry().DeleteValue(test::kConfiguration, u"PortCount");
    EXPECT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    EXPECT_EQ(1u, DriverGlobals.portTableSize);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, AddStatus(AddPort(u"COM4")));
    EXPECT_EQ(STATUS_SUCCESS, AddStatus(Plug(u"SN1")[0]));  // no ordinary slot: runs unplaced
    Plug(u"SNM", u"Composite", true);
    EXPECT_EQ("000000000000@COM3", Table()[0]);
}

TEST_F(PairingTest, PortCountGrowingAfterTheTableExistsStaysWithinItsSlots)
{
    SetPortCount(1);
    AddPort(u"COM3");
    SetPortCount(50);
    AddPort(u"COM4");
    EXPECT_EQ(2u, DriverGlobals.portTableSize);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, AddStatus(AddPort(u"COM5")));
}

TEST_F(PairingTest, PortCountShrinkingOrUnreadableKeepsTheTableWhole)
{
    for (auto name : {u"COM3", u"COM5", u"COM6"})
        AddPort(name);
    Remember(u"SN6", u"COM6");
    plat::cm::Registry().SetValue(test::kConfiguration, u"PortCount", REG_DWORD, {1, 0});  // not 4 bytes
    Plug(u"SN1");
    EXPECT_EQ(11u, DriverGlobals.portTableSize);
    delete PortIn(1);  // its slot is found and cleared
    EXPECT_EQ(nullptr, PortIn(1));
    Plug(u"SN6");
    EXPECT_EQ("SN6@COM6", Table()[2]);
}

TEST_F(PairingTest, DwordOfTheWrongSizeCountsAsNoPortCount)
{
    plat::cm::Registry().SetValue(test::kConfiguration, u"PortCount", REG_DWORD, {5, 0});
    AddPort(u"COM3");
    EXPECT_EQ(1u, DriverGlobals.portTableSize);
}

TEST_F(PairingTest, ScannerWithoutASerialNumberStringIsRejected)
{
    AddPort(u"COM3");
    plat::ScannerModel model;
    model.serial = u"IGNORED";
    model.noSerialString = true;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, AddStatus(machine->PlugScanner(model)[0]));
    EXPECT_TRUE(IsListEmpty(&DriverGlobals.scannerList));
    EXPECT_TRUE(plat::cm::Registry().SubkeyNames(plat::cm::Registry().Find(test::kConfiguration)).empty());
}

// Every pool allocation of an add, failed in turn: the add either works or
// fails leaving no device, no list entry, no handle and no pool behind (the
// machine checks the last two at shutdown).
TEST_F(PairingTest, PoolFailureAnywhereInAnAddLeavesNothingBehind)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    auto deviceCount = [] {
        int n = 0;
        for (PDEVICE_OBJECT d = DriverGlobals.driverObject->DeviceObject; d; d = d->NextDevice)
            ++n;
        return n;
    };
    auto scannerCount = [] {
        int n = 0;
        for (PLIST_ENTRY e = DriverGlobals.scannerList.Flink; e != &DriverGlobals.scannerList; e = e->Flink)
            ++n;
        return n;
    };
    int failures = 0;
    for (int nth = 1; nth <= 40; ++nth) {
        int devicesBefore = deviceCount();
        int scannersBefore = scannerCount();
        std::u16string serial = u"F" + plat::FromUtf8(std::to_string(nth));
        plat::InjectFault(plat::FaultSite::PoolAllocation, nth);
        bool scannerAdded = NT_SUCCESS(AddStatus(Plug(serial)[0]));
        plat::ClearFaults();
        EXPECT_EQ(devicesBefore + (scannerAdded ? 1 : 0), deviceCount()) << "allocation " << nth;
        EXPECT_EQ(scannersBefore + (scannerAdded ? 1 : 0), scannerCount()) << "allocation " << nth;
        failures += scannerAdded ? 0 : 1;
        if (scannerAdded) {
            // Remove it again so that every round starts alike.
            for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot)
                if (ScannerIn(slot) && Utf8(ScannerIn(slot)->serialNumber) == Utf8(serial))
                    delete ScannerIn(slot);
        }

        devicesBefore = deviceCount();
        plat::InjectFault(plat::FaultSite::PoolAllocation, nth);
        bool portAdded = NT_SUCCESS(AddStatus(AddPort(u"COM" + plat::FromUtf8(std::to_string(10 + nth)))));
        plat::ClearFaults();
        EXPECT_EQ(devicesBefore + (portAdded ? 1 : 0), deviceCount()) << "port, allocation " << nth;
        if (portAdded)
            delete DriverGlobals.portTable[1].port;
    }
    EXPECT_GT(failures, 3);  // the sweep did reach into the add
}

// A pairing made by an add that runs out of pool at any of its allocations:
// an add that goes ahead holds the pairing in memory whatever it could
// record, and one that fails leaves no pool or key handle behind (the
// machine's unload and shutdown checks, at the restart that ends each round).
TEST_F(PairingTest, PoolFailureAnywhereInAPairingLeavesNothingBehind)
{
    struct Case {
        const char *what;
        bool scannerFirst;  // the scanner waits for the port, or the port for the scanner
    };
    for (const Case &c : {Case{"scanner meets a waiting port", false}, Case{"port meets a waiting scanner", true}}) {
        for (int nth = 1;; ++nth) {
            SCOPED_TRACE(std::string(c.what) + ", allocation " + std::to_string(nth));
            ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
            ASSERT_EQ(STATUS_SUCCESS, AddStatus(c.scannerFirst ? Plug(u"SN1")[0] : AddPort(u"COM5")));
            plat::InjectFault(plat::FaultSite::PoolAllocation, nth);
            NTSTATUS status = AddStatus(c.scannerFirst ? AddPort(u"COM5") : Plug(u"SN1")[0]);
            bool used = FaultUsed();
            if (used && NT_SUCCESS(status)) {
                EXPECT_EQ("SN1@COM5", Table()[1]);
            }
            Restart();
            if (!used)
                break;
            ASSERT_LT(nth, 1000);
        }
    }
}

// A port add that runs out of pool at any of its allocations leaves the port
// table's lock free: the next add, from another thread as the Plug and Play
// manager may use, goes ahead instead of waiting for good.
TEST_F(PairingTest, PoolFailureInAPortAddLeavesTheTableLockFree)
{
    for (int nth = 1;; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth));
        Restart();
        ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
        plat::InjectFault(plat::FaultSite::PoolAllocation, nth);
        AddPort(u"COM4");
        if (!FaultUsed())
            break;
        EXPECT_EQ(nullptr, DriverGlobals.portTableLock.owner) << "the failed add kept the port table locked";
        NTSTATUS next = STATUS_PENDING;
        plat::SimThread *pnp = plat::Scheduler::Get().CreateThread("pnp", [&] { next = AddStatus(AddPort(u"COM5")); });
        plat::Scheduler::Get().Join(pnp);
        EXPECT_EQ(STATUS_SUCCESS, next);
        ASSERT_LT(nth, 1000);
    }
}

}  // namespace
