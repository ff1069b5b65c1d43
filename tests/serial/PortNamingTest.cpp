// A port's COM name: link, SERIALCOMM value, device interfaces, error-log
// entries when naming fails, and what teardown removes.
#include "support/TestMachine.h"

#include "DriverGlobals.h"
#include "KVirtualSerialPort.h"
#include "PortTable.h"
#include "ob/Namespace.h"
#include "wmi/Wmi.h"

namespace {

using test::Utf8;

constexpr const char16_t *kSerialComm = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

class PortNamingTest : public test::MachineTest {
protected:
    std::vector<std::string> Interfaces(const std::u16string &node) const
    {
        std::vector<std::string> out;
        for (const auto &i : plat::PnpManager::Get().FindNode(node)->interfaces) {
            char guid[16];
            std::snprintf(guid, sizeof guid, "%08X", static_cast<unsigned>(i.classGuid.Data1));
            out.push_back(guid);
        }
        return out;
    }
    std::vector<std::string> ErrorLog() const
    {
        std::vector<std::string> out;
        for (const auto &e : plat::ErrorLog()) {
            char code[16];
            std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(e.errorCode));
            std::string line = code;
            for (const auto &s : e.strings)
                line += " " + Utf8(s);
            out.push_back(line);
        }
        return out;
    }
};

TEST_F(PortNamingTest, NamedPortHasLinkSerialCommValueAndBothInterfaces)
{
    std::u16string node = AddPort(u"COM5");
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(node));
    KVirtualSerialPort *port = DriverGlobals.portTable[0].port;
    EXPECT_EQ("COM5", Utf8(port->portName));
    EXPECT_EQ(port->deviceObject, plat::ResolveDevice(u"\\DosDevices\\COM5"));
    EXPECT_EQ("COM5", Value(kSerialComm, u"\\Device\\VXVIRTPORT0"));
    EXPECT_EQ(10, ValueSize(kSerialComm, u"\\Device\\VXVIRTPORT0"));
    EXPECT_TRUE(port->serialCommWritten);
    EXPECT_EQ((std::vector<std::string>{"86E0D1E0", "9833AEC0"}), Interfaces(node));
    EXPECT_NE(0u, port->deviceObject->Flags & DO_BUFFERED_IO);
    EXPECT_EQ(0u, port->deviceObject->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(plat::WmiRegistered(port->deviceObject));
    EXPECT_TRUE(ErrorLog().empty());
}

TEST_F(PortNamingTest, SkipExternalNamingLeavesTheComNameOut)
{
    std::u16string node = AddPortNode({{u"PortName", u"COM5"}});
    plat::cm::Registry().SetDword(plat::PnpManager::Get().FindNode(node)->EnumKeyPath() + u"\\Device Parameters",
                                  u"SerialSkipExternalNaming", 1);
    // The setting is read when the port initialises: a second node has it
    // before its AddDevice.
    plat::DeviceNodeSetup setup;
    setup.className = u"Ports";
    setup.service = u"VEXLINK";
    setup.deviceParameters = {{u"PortName", u"COM6"}};
    std::u16string instance = plat::PnpManager::NextRootInstance(u"PORTS");
    plat::PnpManager::WriteDeviceNodeKey(instance, setup);
    plat::cm::Registry().SetDword(std::u16string(plat::kEnumRoot) + u"\\" + instance + u"\\Device Parameters",
                                  u"SerialSkipExternalNaming", 1);
    plat::PnpManager::Get().ReportDevice(instance, std::make_unique<plat::PhysicalDevice>());
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(instance));

    KVirtualSerialPort *port = DriverGlobals.portTable[1].port;
    EXPECT_TRUE(port->portName.IsEmpty());
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\DosDevices\\COM6"));
    EXPECT_EQ("<missing>", Value(kSerialComm, u"\\Device\\VXVIRTPORT1"));
    EXPECT_EQ((std::vector<std::string>{"9833AEC0"}), Interfaces(instance));
}

TEST_F(PortNamingTest, MissingPortNameIsLoggedAndTheNodeFails)
{
    std::u16string node = AddPortNode({});
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, AddStatus(node));
    EXPECT_EQ((std::vector<std::string>{"E0060002"}), ErrorLog());
    EXPECT_EQ(0, DriverGlobals.livePortCount);
}

TEST_F(PortNamingTest, LinkThatCannotBeCreatedIsLoggedWithItsNameAndUndone)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    plat::InjectFault(plat::FaultSite::CreateSymbolicLink, 1);
    std::u16string node = AddPort(u"COM5");
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddStatus(node));
    EXPECT_EQ((std::vector<std::string>{"E0060001 \\DosDevices\\COM5"}), ErrorLog());
    const auto &log = plat::DebuggerOutput();
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "DoExternalNaming - create symbolic link failed\n"));
    EXPECT_EQ("<missing>", Value(kSerialComm, u"\\Device\\VXVIRTPORT1"));
    EXPECT_EQ(1, DriverGlobals.livePortCount);
    // The number was used: the next port is VXVIRTPORT2.
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    EXPECT_EQ("\\Device\\VXVIRTPORT2", Utf8(DriverGlobals.portTable[1].port->deviceName));
}

// A second node with the same COM name cannot have the link: the port that
// fails and goes must not take the first port's link with it.
TEST_F(PortNamingTest, LinkNameAnotherPortHoldsStaysThatPorts)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM5")));
    PDEVICE_OBJECT first = plat::ResolveDevice(u"\\DosDevices\\COM5");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, AddStatus(AddPort(u"COM5")));
    EXPECT_EQ((std::vector<std::string>{"E0060001 \\DosDevices\\COM5"}), ErrorLog());
    EXPECT_EQ(first, plat::ResolveDevice(u"\\DosDevices\\COM5"));
    EXPECT_EQ("COM5", Value(kSerialComm, u"\\Device\\VXVIRTPORT0"));
}

TEST_F(PortNamingTest, SerialCommWriteFailureUndoesTheLink)
{
    ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
    plat::InjectFault(plat::FaultSite::RegistryWrite, 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddStatus(AddPort(u"COM5")));
    plat::ClearFaults();
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\DosDevices\\COM5"));
    EXPECT_EQ("<missing>", Value(kSerialComm, u"\\Device\\VXVIRTPORT1"));
}

TEST_F(PortNamingTest, TeardownRemovesSerialCommValueAndLink)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    delete DriverGlobals.portTable[1].port;
    EXPECT_EQ(nullptr, plat::ResolveDevice(u"\\DosDevices\\COM5"));
    EXPECT_EQ("<missing>", Value(kSerialComm, u"\\Device\\VXVIRTPORT1"));
    EXPECT_EQ("COM3", Value(kSerialComm, u"\\Device\\VXVIRTPORT0"));
    EXPECT_EQ(nullptr, DriverGlobals.portTable[1].port);
    EXPECT_EQ(1, DriverGlobals.livePortCount);
}

TEST_F(PortNamingTest, SerialCommValuesAreGoneAfterAReboot)
{
    AddPort(u"COM3");
    machine->Reboot();
    // The device map is rebuilt at each boot, by the ports that start again.
    EXPECT_EQ("COM3", Value(kSerialComm, u"\\Device\\VXVIRTPORT0"));
    EXPECT_EQ(1u, plat::cm::Registry().Find(kSerialComm)->Values().size());
}

}  // namespace
