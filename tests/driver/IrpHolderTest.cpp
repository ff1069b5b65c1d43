// The request parking slot and the timed synchronous request, with requests
// sent through the I/O manager.
#include "support/TestMachine.h"

#include <usb.h>
#include <usbioctl.h>

#include "DriverGlobals.h"
#include "KDeviceObject.h"
#include "KIrpHolder.h"
#include "KSyncRequest.h"
#include "ke/Clock.h"

namespace {

// Records the hook calls of a holder.
class HookedHolder : public KIrpHolder {
public:
    std::vector<std::string> calls;
    void BeforeCancelComplete(PIRP, NTSTATUS status, ULONG_PTR) override { calls.push_back("before " + Hex(status)); }
    void AfterCancelComplete(PIRP, NTSTATUS status, ULONG_PTR) override { calls.push_back("after " + Hex(status)); }
    static std::string Hex(NTSTATUS s)
    {
        char b[16];
        std::snprintf(b, sizeof b, "%08X", static_cast<unsigned>(s));
        return b;
    }
};

// Parks every device-control request in its holder.
class ParkingDevice : public KDeviceObject {
public:
    using KDeviceObject::KDeviceObject;
    HookedHolder holder;
    NTSTATUS lastPark = STATUS_SUCCESS;
    NTSTATUS DispatchDeviceControl(PIRP irp) override
    {
        lastPark = holder.Park(irp);
        if (lastPark == STATUS_PENDING)
            return STATUS_PENDING;
        irp->IoStatus.Status = lastPark;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return lastPark;
    }
};

class IrpHolderTest : public test::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
        a = Create();
        b = Create();
    }
    void TearDown() override
    {
        delete a;
        delete b;
        MachineTest::TearDown();
    }
    static ParkingDevice *Create()
    {
        KUnicodeString noName;
        KDeviceCreation creation{};
        void *storage = CreateDeviceObject(sizeof(ParkingDevice), DriverGlobals.driverObject, noName, creation);
        auto *device = new (storage) ParkingDevice(creation);
        device->CompleteInitialization();
        return device;
    }
    static plat::PendingRequest *Send(ParkingDevice *device)
    {
        plat::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
        return plat::StartRequest(nullptr, request, device->deviceObject);
    }
    ParkingDevice *a = nullptr;
    ParkingDevice *b = nullptr;
};

TEST_F(IrpHolderTest, ParkedRequestIsTakenBackOnce)
{
    std::unique_ptr<plat::PendingRequest> request(Send(a));
    EXPECT_EQ(STATUS_PENDING, a->lastPark);
    EXPECT_FALSE(request->Done());
    PIRP irp = a->holder.Take();
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(nullptr, irp->CancelRoutine);
    EXPECT_EQ(nullptr, a->holder.Take());
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(STATUS_SUCCESS, request->Wait().status);
    EXPECT_TRUE(a->holder.calls.empty());
}

TEST_F(IrpHolderTest, SecondParkIsBusyAndLeavesBothRequestsAlone)
{
    std::unique_ptr<plat::PendingRequest> first(Send(a));
    PIRP parked = a->holder.irp;
    std::unique_ptr<plat::PendingRequest> second(Send(a));
    EXPECT_EQ(STATUS_DEVICE_BUSY, a->lastPark);
    EXPECT_EQ(STATUS_DEVICE_BUSY, second->Result().status);
    EXPECT_EQ(parked, a->holder.irp);
    EXPECT_FALSE(first->Done());
    EXPECT_TRUE(first->Cancel());
    EXPECT_EQ(STATUS_CANCELLED, first->Wait().status);
}

TEST_F(IrpHolderTest, CancelCompletesTheParkedRequestBetweenTheHooks)
{
    std::unique_ptr<plat::PendingRequest> request(Send(a));
    EXPECT_TRUE(request->Cancel());
    EXPECT_EQ(STATUS_CANCELLED, request->Wait().status);
    EXPECT_EQ((std::vector<std::string>{"before C0000120", "after C0000120"}), a->holder.calls);
    EXPECT_EQ(nullptr, a->holder.irp);
    EXPECT_EQ(nullptr, a->holder.Take());
}

TEST_F(IrpHolderTest, RequestCancelledBeforeParkingIsReturnedToTheCaller)
{
    // Cancelled before any driver claimed it: the Cancel flag is set and
    // there is no cancel routine to call.
    PIRP irp = IoAllocateIrp(a->deviceObject->StackSize, FALSE);
    irp->Cancel = TRUE;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_CANCELLED, IofCallDriver(a->deviceObject, irp));
    EXPECT_EQ(STATUS_CANCELLED, a->lastPark);
    EXPECT_EQ(STATUS_CANCELLED, irp->IoStatus.Status);
    EXPECT_EQ(nullptr, a->holder.irp);
    IoFreeIrp(irp);
}

TEST_F(IrpHolderTest, CancelHeldRequestsSelectsByDeviceOrTakesAll)
{
    std::unique_ptr<plat::PendingRequest> ra(Send(a));
    std::unique_ptr<plat::PendingRequest> rb(Send(b));
    KIrpHolder::CancelHeldRequests(a->deviceObject, true);
    EXPECT_EQ(STATUS_CANCELLED, ra->Wait().status);
    EXPECT_FALSE(rb->Done());
    EXPECT_TRUE(a->holder.removed);
    EXPECT_FALSE(b->holder.removed);
    EXPECT_EQ(2u, a->holder.calls.size());

    std::unique_ptr<plat::PendingRequest> refused(Send(a));
    EXPECT_EQ(STATUS_DEVICE_REMOVED, refused->Result().status);

    KIrpHolder::CancelHeldRequests(nullptr, false);
    EXPECT_EQ(STATUS_CANCELLED, rb->Wait().status);
    EXPECT_FALSE(b->holder.removed);
}

TEST_F(IrpHolderTest, DestroyedHolderCancelsItsRequestWithoutHooks)
{
    std::unique_ptr<plat::PendingRequest> request(Send(a));
    delete a;
    a = nullptr;
    EXPECT_EQ(STATUS_CANCELLED, request->Wait().status);
}

// SendWithTimeout against a USB function that answers late or never.
class SyncRequestTest : public test::MachineTest {
protected:
    PDEVICE_OBJECT PlugScanner(bool hang)
    {
        plat::ScannerModel model;
        model.serial = u"SYNC";
        std::u16string node = machine->PlugScanner(model)[0];
        // The device stops answering once the driver has read its identity.
        plat::DeviceNode *n = plat::PnpManager::Get().FindNode(node);
        static_cast<plat::UsbFunction *>(n->bus.get())->model.hangTransfers = hang;
        return n->Pdo();
    }
    NTSTATUS SubmitDeviceDescriptorRead(PDEVICE_OBJECT pdo, ULONG timeoutMs, URB &urb, UCHAR *buffer)
    {
        RtlZeroMemory(&urb, sizeof urb);
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                     0, 0, buffer, nullptr, 18, nullptr);
        KSyncRequest request;
        EXPECT_TRUE(request.BuildInternalIoctl(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo));
        request.NextStackLocation()->Parameters.Others.Argument1 = &urb;
        return request.SendWithTimeout(timeoutMs);
    }
};

TEST_F(SyncRequestTest, RequestThatNeverCompletesIsCancelledAfterTheTimeout)
{
    AddPort(u"COM3");  // loads the driver: KSyncRequest lives in it
    PDEVICE_OBJECT pdo = PlugScanner(true);
    LONGLONG before = plat::SystemTimeNow();
    URB urb;
    UCHAR buffer[18];
    EXPECT_EQ(STATUS_CANCELLED, SubmitDeviceDescriptorRead(pdo, 500, urb, buffer));
    EXPECT_EQ(500 * plat::kTicksPerMillisecond, plat::SystemTimeNow() - before);
    EXPECT_EQ(USBD_STATUS_CANCELED, urb.UrbHeader.Status);
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

TEST_F(SyncRequestTest, RequestAnsweredInTimeReturnsItsStatusAndData)
{
    AddPort(u"COM3");
    PDEVICE_OBJECT pdo = PlugScanner(false);
    for (int i = 0; i < 8; ++i) {  // the bus answers at once or a millisecond later, by seed
        URB urb;
        UCHAR buffer[18] = {};
        EXPECT_EQ(STATUS_SUCCESS, SubmitDeviceDescriptorRead(pdo, 500, urb, buffer));
        EXPECT_EQ(18u, urb.UrbControlDescriptorRequest.TransferBufferLength);
        EXPECT_EQ(0xA3, buffer[8]);
        EXPECT_EQ(0xE7, buffer[9]);
    }
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

TEST_F(SyncRequestTest, FailedRequestReturnsTheLowerStatus)
{
    AddPort(u"COM3");
    PDEVICE_OBJECT pdo = PlugScanner(false);
    plat::InjectFault(plat::FaultSite::UsbTransfer, 1);
    URB urb;
    UCHAR buffer[18];
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitDeviceDescriptorRead(pdo, 500, urb, buffer));
    EXPECT_EQ(0u, plat::LiveIrpCount());
}

}  // namespace
