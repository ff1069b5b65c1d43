// A scanner's device life under Plug and Play: started after its add, pulled
// out (surprise removal, then removal) while paired, parked or busy, plugged
// in again, and left behind by a paired port that goes.
#include "support/TestMachine.h"

#include "DriverGlobals.h"
#include "KScannerFunction.h"
#include "KVirtualSerialPort.h"
#include "PortTable.h"
#include "ke/Scheduler.h"

namespace {

using test::Utf8;

class ScannerLifecycleTest : public test::MachineTest {
protected:
    KScannerFunction *ScannerIn(ULONG slot) const { return DriverGlobals.portTable[slot].scanner; }
    KVirtualSerialPort *PortIn(ULONG slot) const { return DriverGlobals.portTable[slot].port; }
    plat::UsbFunction *Function(const std::u16string &instance)
    {
        return dynamic_cast<plat::UsbFunction *>(plat::PnpManager::Get().FindNode(instance)->bus.get());
    }
};

TEST_F(ScannerLifecycleTest, AnAddedScannerIsStartedWithTheUsbBusPowerAbilities)
{
    AddPort(u"COM3");
    std::u16string instance = Plug(u"SN1")[0];
    KScannerFunction *scanner = ScannerIn(1);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(plat::NodeState::Started, plat::PnpManager::Get().FindNode(instance)->state);
    EXPECT_EQ(Working, scanner->pnpState);
    EXPECT_FALSE(scanner->stopped);
    EXPECT_EQ(PowerDeviceD2, scanner->capabilities.DeviceWake);
    EXPECT_EQ(PowerSystemSleeping3, scanner->capabilities.SystemWake);
    EXPECT_EQ(1u, scanner->capabilities.WakeFromD2);  // implied by DeviceWake
    EXPECT_EQ(1u, scanner->capabilities.SurpriseRemovalOK);
}

TEST_F(ScannerLifecycleTest, UnpluggingAPairedScannerFreesThePortAndKeepsItsNameForTheReturn)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    Plug(u"SN1");
    ASSERT_EQ(PortIn(1), ScannerIn(1)->pairedPort);
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));

    EXPECT_EQ(nullptr, ScannerIn(1));
    ASSERT_NE(nullptr, PortIn(1));
    EXPECT_EQ(nullptr, PortIn(1)->pairedScanner);
    EXPECT_EQ("", Value(ScannerKey(u"SN1"), u"Flag"));
    EXPECT_EQ("COM5", Value(ScannerKey(u"SN1"), u"PortName"));
    EXPECT_EQ(nullptr, plat::PnpManager::Get().FindNode(u"USB\\VID_E7A3&PID_0204\\SN1"));
    EXPECT_FALSE(machine->UnplugScanner(u"SN1"));

    Plug(u"SN1");
    ASSERT_NE(nullptr, ScannerIn(1));
    EXPECT_EQ(PortIn(1), ScannerIn(1)->pairedPort);
    EXPECT_EQ("Associated", Value(ScannerKey(u"SN1"), u"Flag"));
}

TEST_F(ScannerLifecycleTest, UnpluggingAParkedScannerEmptiesItsSlot)
{
    AddPort(u"COM3");
    Plug(u"SN1");
    ASSERT_NE(nullptr, ScannerIn(1));
    ASSERT_EQ(nullptr, PortIn(1));
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    EXPECT_EQ(nullptr, ScannerIn(1));
    // A port added now finds nobody waiting.
    AddPort(u"COM5");
    EXPECT_EQ(nullptr, PortIn(1)->pairedScanner);
}

// Every add records the scanner afresh, whatever its key held; a removal
// while parked pairs nothing and so writes nothing.
TEST_F(ScannerLifecycleTest, AReturningScannerIsRecordedAgainAndLeavingWhileParkedKeepsTheRecord)
{
    AddPort(u"COM3");
    std::u16string com5 = AddPort(u"COM5");
    Plug(u"SN1", u"Model One");
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    ASSERT_EQ("", Value(ScannerKey(u"SN1"), u"Flag"));
    // Its port goes: the scanner comes back to a slot without a port.
    ASSERT_EQ(STATUS_SUCCESS, plat::PnpManager::Get().RequestRemoval(plat::PnpManager::Get().FindNode(com5), true));

    Plug(u"SN1", u"Model Two");
    ASSERT_NE(nullptr, ScannerIn(1));
    EXPECT_EQ(nullptr, ScannerIn(1)->pairedPort);
    EXPECT_EQ("Enumerated", Value(ScannerKey(u"SN1"), u"Flag"));
    EXPECT_EQ("Model Two", Value(ScannerKey(u"SN1"), u"ModelType"));
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    EXPECT_EQ("Enumerated", Value(ScannerKey(u"SN1"), u"Flag"));
    EXPECT_EQ("COM5", Value(ScannerKey(u"SN1"), u"PortName"));
}

// The bus loses a paired port: its scanner stays parked in the slot without a
// link to it, and the next port to take the slot pairs with it.
TEST_F(ScannerLifecycleTest, APairedPortThatGoesLeavesItsScannerParkedForTheNextPort)
{
    AddPort(u"COM3");
    std::u16string com5 = AddPort(u"COM5");
    Plug(u"SN1");
    KScannerFunction *scanner = ScannerIn(1);
    ASSERT_NE(nullptr, scanner->pairedPort);
    plat::PnpManager::Get().DeviceGone(plat::PnpManager::Get().FindNode(com5));
    EXPECT_EQ(nullptr, PortIn(1));
    EXPECT_EQ(scanner, ScannerIn(1));
    EXPECT_EQ(nullptr, scanner->pairedPort);

    AddPort(u"COM7");
    ASSERT_NE(nullptr, PortIn(1));
    EXPECT_EQ(PortIn(1), scanner->pairedPort);
    EXPECT_EQ(scanner, PortIn(1)->pairedScanner);
    EXPECT_EQ("COM7", Value(ScannerKey(u"SN1"), u"PortName"));
    EXPECT_EQ("Associated", Value(ScannerKey(u"SN1"), u"Flag"));
}

// The last port goes while paired with the modem interface: the table goes
// with it, and neither function of the composite scanner keeps a link.
TEST_F(ScannerLifecycleTest, TheLastPortGoingWhilePairedLeavesNoScannerLinkedToIt)
{
    std::u16string com3 = AddPort(u"COM3");
    Plug(u"SN1", u"VX Modem Scanner", true);
    KScannerFunction *modem = ScannerIn(0);
    KScannerFunction *function = ScannerIn(1);
    ASSERT_EQ(PortIn(0), modem->pairedPort);
    plat::PnpManager::Get().DeviceGone(plat::PnpManager::Get().FindNode(com3));
    EXPECT_EQ(nullptr, DriverGlobals.portTable);
    EXPECT_EQ(nullptr, modem->pairedPort);
    EXPECT_EQ(nullptr, function->pairedPort);
    // A fresh table holds neither; the scanner can be pulled out as usual.
    AddPort(u"COM4");
    EXPECT_EQ(nullptr, modem->pairedPort);
    EXPECT_EQ(nullptr, PortIn(0)->pairedScanner);
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    EXPECT_TRUE(IsListEmpty(&DriverGlobals.scannerList));
}

TEST_F(ScannerLifecycleTest, UnpluggingACompositeScannerRemovesBothFunctions)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    std::vector<std::u16string> instances = Plug(u"SN1", u"VX Modem Scanner", true);
    ASSERT_EQ(2u, instances.size());
    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    for (const auto &instance : instances)
        EXPECT_EQ(nullptr, plat::PnpManager::Get().FindNode(instance)) << Utf8(instance);
    for (ULONG slot = 0; slot < DriverGlobals.portTableSize; ++slot)
        EXPECT_EQ(nullptr, ScannerIn(slot)) << "slot " << slot;
}

TEST_F(ScannerLifecycleTest, AnOutstandingTransferFailsWhenTheScannerIsPulledAndRemovalWaitsForIt)
{
    AddPort(u"COM3");
    AddPort(u"COM5");
    std::u16string instance = Plug(u"SN1")[0];
    KScannerFunction *scanner = ScannerIn(1);
    Function(instance)->model.hangTransfers = true;

    UCHAR descriptor[18];
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr, sizeof descriptor, nullptr);
    NTSTATUS transfer = STATUS_PENDING;
    auto *thread = plat::Scheduler::Get().CreateThread("reader", [&] { transfer = scanner->submitUrb(&urb, 0); });
    LARGE_INTEGER delay;
    delay.QuadPart = -10000LL * 5;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    ASSERT_EQ(STATUS_PENDING, transfer);

    ASSERT_TRUE(machine->UnplugScanner(u"SN1"));
    plat::Scheduler::Get().Join(thread);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, transfer);
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, urb.UrbHeader.Status);
    EXPECT_EQ(nullptr, ScannerIn(1));
}

}  // namespace
