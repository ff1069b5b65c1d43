// A port's device life under Plug and Play: started with its interfaces
// announced, removal asked for by the user (refused while paired), and the
// driver leaving the machine with its last device and coming back.
#include "support/TestMachine.h"

#include "DriverGlobals.h"
#include "KVirtualSerialPort.h"
#include "PortTable.h"
#include "ob/Namespace.h"

namespace {

using test::Utf8;

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class PortLifecycleTest : public test::MachineTest {
protected:
    plat::DeviceNode *Node(const std::u16string &instance) { return plat::PnpManager::Get().FindNode(instance); }
};

TEST_F(PortLifecycleTest, AStartedPortAnnouncesItsComInterfaceAndItsRemovalWithdrawsIt)
{
    std::vector<std::string> events;
    plat::PnpManager::Get().AddInterfaceListener(kComPortInterface, [&](const plat::InterfaceEvent &e) {
        events.push_back((e.arrival ? "arrival " : "removal ") + Utf8(e.linkName));
    });
    std::u16string instance = AddPort(u"COM5");
    KVirtualSerialPort *port = DriverGlobals.portTable[0].port;
    EXPECT_EQ(Working, port->pnpState);
    plat::PnpManager::Get().Settle();
    const std::string link = "\\??\\ROOT#PORTS#0000#{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
    EXPECT_EQ(std::vector<std::string>{"arrival " + link}, events);

    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(Node(instance), true));
    plat::PnpManager::Get().Settle();
    EXPECT_EQ((std::vector<std::string>{"arrival " + link, "removal " + link}), events);
    EXPECT_EQ(nullptr, Node(instance));
    EXPECT_FALSE(plat::cm::Registry().Find(std::u16string(plat::kEnumRoot) + u"\\" + instance));
}

TEST_F(PortLifecycleTest, APairedPortRefusesRemovalAndKeepsWorking)
{
    AddPort(u"COM3");
    std::u16string instance = AddPort(u"COM5");
    Plug(u"SN1");
    KVirtualSerialPort *port = DriverGlobals.portTable[1].port;
    ASSERT_NE(nullptr, port->pairedScanner);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, plat::PnpManager::Get().RequestRemoval(Node(instance), true));
    EXPECT_EQ(Working, port->pnpState);
    EXPECT_EQ(port, DriverGlobals.portTable[1].port);
    EXPECT_EQ("Associated", Value(ScannerKey(u"SN1"), u"Flag"));

    // Unpaired, the same request goes through.
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(Node(instance), true));
    EXPECT_EQ(nullptr, DriverGlobals.portTable[1].port);
}

TEST_F(PortLifecycleTest, ARebalancedPortComesBackWorkingInItsSlot)
{
    std::u16string instance = AddPort(u"COM5");
    KVirtualSerialPort *port = DriverGlobals.portTable[0].port;
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().Rebalance(Node(instance)));
    EXPECT_EQ(Working, port->pnpState);
    EXPECT_EQ(port, DriverGlobals.portTable[0].port);
    EXPECT_EQ(port->deviceObject, plat::ResolveDevice(u"\\DosDevices\\COM5"));
}

TEST_F(PortLifecycleTest, TheDriverUnloadsWithItsLastDeviceAndLoadsAgainForTheNext)
{
    std::u16string instance = AddPort(u"COM5");
    ASSERT_EQ(1u, plat::PnpManager::Get().LoadedDrivers().size());
    // The unload checks that no pool is left; a leak fails the test.
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(Node(instance), true));
    EXPECT_TRUE(plat::PnpManager::Get().LoadedDrivers().empty());
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\Device\\VEXLINKCDO"));
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\DosDevices\\COM5"));

    AddPort(u"COM6");
    ASSERT_EQ(1u, plat::PnpManager::Get().LoadedDrivers().size());
    ASSERT_NE(nullptr, DriverGlobals.portTable);
    EXPECT_EQ("COM6", Utf8(DriverGlobals.portTable[0].port->portName));
    EXPECT_NE(nullptr, plat::ResolveDevice(u"\\Device\\VEXLINKCDO"));
}

TEST_F(PortLifecycleTest, AParkedScannerKeepsTheDriverLoadedAfterTheLastPortGoes)
{
    std::u16string instance = AddPort(u"COM3");
    Plug(u"SN1");
    EXPECT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(Node(instance), true));
    EXPECT_EQ(1u, plat::PnpManager::Get().LoadedDrivers().size());
    EXPECT_EQ(nullptr, DriverGlobals.portTable);
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    EXPECT_TRUE(plat::PnpManager::Get().LoadedDrivers().empty());
}

}  // namespace
